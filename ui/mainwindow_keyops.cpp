// Input checks and key operations (label, PIN) of the token pages.
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "SetPin.h"
#include "cDevMgr.h"
#include "keyops_text.h"
#include "logging.h"
#include "messages.h"
#include "myMessageBox.h"
#include "passwordrules.h"
#include "pinedit.h"
#include "windowconstants.h"

#include <cstring>
#include <optional>

using mainwin::kUserPin;
using messages::Action;
using pinrules::PinBytes;
using pinrules::PinEntry;
using pinrules::TextUnit;

namespace {

int latin1Length(const QLineEdit* edit)
{
    return pinrules::pinLength(edit->text(), TextUnit::Latin1);
}

// The counter under a field: empty for an empty field, else the count.
void showCount(QLabel* label, int count)
{
    if (count == 0)
        label->clear();
    else
        label->setText(keyops::counterText(count));
}

} // namespace

void MainWindow::btn_keyinfo()
{
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageInfo);
}

void MainWindow::btn_changeLabel()
{
    ui->NewLabelEdit->clear();
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageLabel);
}

void MainWindow::btn_verifyPin()
{
    pinrules::clearPin(ui->VerifyPIN_Edit);
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageVerify);
}

void MainWindow::btn_changePin()
{
    // The token chosen when the dialog opened, whatever token events happen while it is up.
    const TokenChoice choice = m_choice;
    std::optional<PinBytes> newPin;
    std::optional<PinBytes> oldPin;
    {
        // Gone, with its fields wiped, before the result is shown.
        SetPin dialog(nullptr);
        if (dialog.exec() != 1)
            return;
        QString newText;
        QString oldText;
        dialog.getNewPin(newText);
        dialog.getOldPin(oldText);
        newPin.emplace(newText, TextUnit::Utf8);
        oldPin.emplace(oldText, TextUnit::Utf8);
        pinrules::wipe(newText);
        pinrules::wipe(oldText);
    }

    ULONG retry = 0;
    cDevMgr* mgr = cDevMgr::getInst();
    ULONG rv = mgr->open(choice);
    if (rv == SAR_OK) {
        rv = mgr->ChangePIN(kUserPin, oldPin->data(), newPin->data(), &retry);
        logSkfFailure("SKF_ChangePIN", rv, choice.device);
    }
    mgr->close();
    // The old PIN, accepted, has logged the application in.
    if (rv == SAR_OK)
        endActionLogin(choice);
    oldPin.reset();
    newPin.reset();
    const messages::Message told = messages::resultMessage(Action::ChangePin, rv);
    m_msgBox->setWarnMode(told.mode, told.title, retry);
    m_msgBox->exec();
}

void MainWindow::clearPinEdits()
{
    for (QLineEdit* edit :
         {ui->VerifyPIN_Edit, ui->OldPIN_Edit, ui->NewPIN_Edit, ui->ConfirmPIN_Edit, ui->SOPIN_Edit, ui->UserPIN_Edit,
          ui->ConfirmUserPIN_Edit, ui->OldAuthKey_Edit, ui->NewAuthKey_Edit, ui->ConfirmAuthKey_Edit,
          ui->Init_DevAuthKey_Edit, ui->Init_NewSOPIN_Edit, ui->Init_NewUserPIN_Edit})
        pinrules::clearPin(edit);
}

void MainWindow::tab1_newName_Valuechange()
{
    // Counted in UTF-8 bytes, the unit the token's label field is sized in.
    const int bytes = keyops::utf8UntilNul(ui->NewLabelEdit->text()).size();
    showCount(ui->lab_nameCheck_1, bytes);
    ui->btn_ChangeLab_OK->setEnabled(bytes > 0 && bytes <= keyops::kMaxLabelBytes);
}

void MainWindow::tab1_PIN_Valuechange()
{
    const int length = latin1Length(ui->VerifyPIN_Edit);
    showCount(ui->lab_PINcheck, length);
    ui->btn_VerifyPIN_OK->setEnabled(length > 0 &&
                                     pinrules::okEnabled(PinEntry::VerifyPinPage, {ui->VerifyPIN_Edit->text()}));
}

namespace {

// One field of the change page changed: its own counter follows it, OK needs all three fields.
void changePageFieldChanged(Ui_MainWindow* ui, QLineEdit* field, QLabel* counter)
{
    const int length = latin1Length(field);
    showCount(counter, length);
    ui->btn_ChangPIN_OK->setEnabled(
        length > 0 && pinrules::okEnabled(PinEntry::ChangePinPage, {ui->OldPIN_Edit->text(), ui->NewPIN_Edit->text(),
                                                                    ui->ConfirmPIN_Edit->text()}));
}

} // namespace

void MainWindow::tab1_OldPIN_Valuechange()
{
    changePageFieldChanged(ui, ui->OldPIN_Edit, ui->lab_oldPINCheck);
}

void MainWindow::tab1_NewPIN_Valuechange()
{
    changePageFieldChanged(ui, ui->NewPIN_Edit, ui->lab_NewPINCheck);
}

void MainWindow::tab1_ConfirmPIN_Valuechange()
{
    changePageFieldChanged(ui, ui->ConfirmPIN_Edit, ui->lab_ConfirmPINCheck);
}

// Stays because the window's published slot list names it, though nothing sends to it:
// tab1_newName_Valuechange keeps the label page's OK button.
void MainWindow::NewLabelEdit_Valuechange()
{
    ui->btn_ChangeLab_OK->setEnabled(latin1Length(ui->NewLabelEdit) >= 1);
}

void MainWindow::UnBlockPIN_Valuechange()
{
    ui->btn_UnblockPIN_OK->setEnabled(pinrules::okEnabled(
        PinEntry::UnblockPinPage, {ui->SOPIN_Edit->text(), ui->UserPIN_Edit->text(), ui->ConfirmUserPIN_Edit->text()}));
}

void MainWindow::ChangeDevAuthKey_Valuechange()
{
    ui->btn_ChangAuthKey_OK->setEnabled(
        pinrules::okEnabled(PinEntry::DevAuthKeyPage, {ui->OldAuthKey_Edit->text(), ui->NewAuthKey_Edit->text(),
                                                       ui->ConfirmAuthKey_Edit->text()}));
}

void MainWindow::Initialize_Valuechange()
{
    // Checked means the token's default device key is used, so the key field is not needed.
    const bool defaultKey = ui->chb_devAuthkey->checkState() != Qt::Unchecked;
    ui->Init_DevAuthKey_Edit->setEnabled(!defaultKey);
    const bool keyOk = defaultKey || pinrules::okEnabled(PinEntry::DevAuthKeyPage, {ui->Init_DevAuthKey_Edit->text()});
    const bool pinsOk = pinrules::okEnabled(PinEntry::InitializePage,
                                            {ui->Init_NewSOPIN_Edit->text(), ui->Init_NewUserPIN_Edit->text()});
    ui->btn_Initialize_OK->setEnabled(keyOk && pinsOk && latin1Length(ui->Init_LabelName_Edit) > 0);
}

void MainWindow::btn_changelabe_ok()
{
    const QByteArray label = keyops::utf8UntilNul(ui->NewLabelEdit->text());
    // The character limit is the page's own; the byte limit keeps a label of wide characters from
    // being cut inside a character by the token.
    messages::Message told = messages::messageOf(messages::kModeLabelTooLong, messages::kTitleChangeLabel);
    if (latin1Length(ui->NewLabelEdit) <= keyops::kMaxLabelBytes && label.size() <= keyops::kMaxLabelBytes) {
        cDevMgr* mgr = cDevMgr::getInst();
        ULONG rv = mgr->open(m_choice);
        if (rv == SAR_OK) {
            rv = mgr->SetDevLabel(label.constData(), ULONG(label.size()));
            logSkfFailure("SKF_SetLabel", rv, m_choice.device);
        }
        mgr->close();
        told = messages::resultMessage(Action::ChangeLabel, rv);
    }
    m_msgBox->setWarnMode(told.mode, told.title, 0);
    m_msgBox->exec();
    ui->NewLabelEdit->clear();
}

void MainWindow::btn_verifyPIN_ok()
{
    messages::Message told = messages::messageOf(messages::kModePinTooShort, messages::kTitleVerifyPin);
    ULONG retry = 0;
    {
        QString text = pinrules::takePin(ui->VerifyPIN_Edit);
        PinBytes pin(text, TextUnit::Utf8);
        pinrules::wipe(text);
        // The token sees the PIN up to its first NUL, so that is what the length rule counts.
        const std::size_t length = std::strlen(pin.data());
        const pinrules::PinRuleStep* broken =
            pinrules::firstBrokenRuleBytes(PinEntry::VerifyPinPage, {}, std::string_view(pin.data(), length), {});
        if (broken) {
            told = messages::messageOf(broken->mode, told.title);
        } else {
            cDevMgr* mgr = cDevMgr::getInst();
            ULONG rv = mgr->open(m_choice);
            if (rv == SAR_OK) {
                rv = mgr->VerifyPIN(kUserPin, pin.data(), &retry);
                logSkfFailure("SKF_VerifyPIN", rv, m_choice.device);
            }
            mgr->close();
            told = messages::resultMessage(Action::VerifyPin, rv);
            if (rv == SAR_OK) {
                // The login lasts until the choice moves to another application or the window goes.
                m_verified = TokenChoice{m_choice.device, m_choice.application, std::string(), -1};
                ui->btn_ImpCert->setEnabled(true);
                ui->btn_ExpCert->setEnabled(true);
                ui->btn_DelCtn->setEnabled(true);
            }
        }
    }
    m_msgBox->setWarnMode(told.mode, told.title, retry);
    m_msgBox->exec();
}

void MainWindow::btn_changePIN_ok()
{
    endVerifiedSession();

    QString oldText = pinrules::takePin(ui->OldPIN_Edit);
    QString newText = pinrules::takePin(ui->NewPIN_Edit);
    QString confirmText = pinrules::takePin(ui->ConfirmPIN_Edit);
    messages::Message told = messages::messageOf(messages::kModeFailed, messages::kTitleChangePin);
    ULONG retry = 0;
    const pinrules::PinRuleStep* broken =
        pinrules::firstBrokenRule(PinEntry::ChangePinPage, oldText, newText, confirmText);
    if (broken) {
        told = messages::messageOf(broken->mode, told.title);
    } else {
        PinBytes oldPin(oldText, TextUnit::Utf8);
        PinBytes newPin(newText, TextUnit::Utf8);
        cDevMgr* mgr = cDevMgr::getInst();
        ULONG rv = mgr->open(m_choice);
        if (rv == SAR_OK) {
            rv = mgr->ChangePIN(kUserPin, oldPin.data(), newPin.data(), &retry);
            logSkfFailure("SKF_ChangePIN", rv, m_choice.device);
        }
        mgr->close();
        if (rv == SAR_OK)
            endActionLogin(m_choice);
        told = messages::resultMessage(Action::ChangePin, rv);
    }
    for (QString* text : {&oldText, &newText, &confirmText})
        pinrules::wipe(*text);
    m_msgBox->setWarnMode(told.mode, told.title, retry);
    m_msgBox->exec();
}
