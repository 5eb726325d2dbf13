#include "SetPin.h"

#include "multilang.h"
#include "passwordrules.h"
#include "pinedit.h"
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
    for (QLineEdit* edit : {ui->oldPIN_edit, ui->newPIN_edit, ui->confirmPIN_edit})
        pinrules::clearPin(edit);
    delete ui;
}

void SetPin::getOldPin(QString& pin)
{
    pin = m_oldPin;
}

void SetPin::getNewPin(QString& pin)
{
    pin = m_newPin;
}

void SetPin::forgetPins()
{
    pinrules::wipe(m_newPin);
    pinrules::wipe(m_oldPin);
}

void SetPin::on_btn_ok_clicked()
{
    forgetPins();
    const pinrules::PinRuleStep* broken = nullptr;
    {
        // Let go before the PINs are taken: takePin() overwrites a field's buffer only while the
        // field alone holds it.
        const QString oldPin = ui->oldPIN_edit->text();
        const QString newPin = ui->newPIN_edit->text();
        const QString confirmPin = ui->confirmPIN_edit->text();
        broken = pinrules::firstBrokenRule(pinrules::PinEntry::SetPinDialog, oldPin, newPin, confirmPin);
    }
    if (broken) {
        ui->msg_label->setText(tr(__(broken->textId, broken->defaultText).c_str()));
        return;
    }
    // Out of the fields into copies of our own, which the destructor wipes.
    m_newPin = pinrules::takePin(ui->newPIN_edit);
    m_oldPin = pinrules::takePin(ui->oldPIN_edit);
    pinrules::clearPin(ui->confirmPIN_edit);
    done(1);
}

void SetPin::on_btn_exit_clicked()
{
    done(0);
}
