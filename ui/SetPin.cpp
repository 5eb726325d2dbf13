#include "SetPin.h"

#include "multilang.h"
#include "passwordrules.h"
#include "ui_SetPin.h"

SetPin::SetPin(QWidget* parent) : QDialog(parent), ui(new Ui_SetPin)
{
    ui->setupUi(this);
    ui->btn_ok->setText(tr(__(30080, "continue").c_str()));
    ui->btn_exit->setText(tr(__(30081, "cancel").c_str()));
    setWindowTitle(tr(__(32031, "Change PIN").c_str()));
    ui->msg_label->setWordWrap(true);
}

SetPin::~SetPin()
{
    forgetPins();
    delete ui;
}

void SetPin::getOldPin(QString& pin)
{
    pin = ui->oldPIN_edit->text();
}

void SetPin::getNewPin(QString& pin)
{
    pin = ui->newPIN_edit->text();
}

void SetPin::forgetPins()
{
    pinrules::wipe(m_newPin);
    pinrules::wipe(m_oldPin);
}

void SetPin::on_btn_ok_clicked()
{
    forgetPins();
    const QString oldPin = ui->oldPIN_edit->text();
    const QString newPin = ui->newPIN_edit->text();
    const QString confirmPin = ui->confirmPIN_edit->text();

    const pinrules::PinRuleStep* broken =
        pinrules::firstBrokenRule(pinrules::PinEntry::SetPinDialog, oldPin, newPin, confirmPin);
    if (broken) {
        ui->msg_label->setText(tr(__(broken->textId, broken->defaultText).c_str()));
        return;
    }
    // Copies of our own, so that they can be wiped without touching the fields' shared text.
    m_newPin = QString(newPin.constData(), newPin.size());
    m_oldPin = QString(oldPin.constData(), oldPin.size());
    done(1);
}

void SetPin::on_btn_exit_clicked()
{
    done(0);
}
