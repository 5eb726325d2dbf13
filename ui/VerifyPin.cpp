#include "VerifyPin.h"

#include "multilang.h"
#include "passwordrules.h"
#include "pinedit.h"
#include "ui_VerifyPin.h"

VerifyPin::VerifyPin(QWidget* parent) : QDialog(parent), ui(new Ui_VerifyPin)
{
    ui->setupUi(this);
    ui->btn_ok->setText(tr(__(30080, "continue").c_str()));
    ui->btn_cancel->setText(tr(__(30081, "cancel").c_str()));
    setWindowTitle(tr(__(32032, "Verify PIN").c_str()));
}

VerifyPin::~VerifyPin()
{
    pinrules::wipe(m_userPin);
    pinrules::clearPin(ui->lineEdit_pin);
    delete ui;
}

QString VerifyPin::getUserPin()
{
    return m_userPin;
}

void VerifyPin::on_btn_ok_clicked()
{
    pinrules::wipe(m_userPin);
    // Out of the field into a copy of our own, which the destructor wipes.
    m_userPin = pinrules::takePin(ui->lineEdit_pin);
    done(1);
}

void VerifyPin::on_btn_cancel_clicked()
{
    done(0);
}
