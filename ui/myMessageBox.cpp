#include "myMessageBox.h"

#include "cDevMgr.h"
#include "logging.h"
#include "messages.h"
#include "multilang.h"
#include "passwordrules.h"
#include "pinedit.h"
#include "ui_myMessageBox.h"
#include "windowconstants.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopWidget>
#include <QLabel>
#include <QLineEdit>

#include <cstring>

// The captions laid over the two buttons; the buttons themselves keep an empty text.
static QLabel* lab_box_ok = nullptr;
static QLabel* lab_box_cancel = nullptr;

namespace {

using messages::Buttons;

// Where the buttons stand. The change form keeps the designer's places; the 380 x 270 message layout
// puts them below the text, a single OK button centred.
const QRect kFormCancelRect(110, 470, 100, 30);
const QRect kFormOkRect(530, 470, 100, 30);
const QRect kMessageCancelRect(70, 200, 100, 30);
const QRect kMessageOkPairRect(210, 200, 100, 30);
const QRect kMessageOkAloneRect(140, 200, 100, 30);

// Widens a label of the change form whose text does not fit its width in the font in use (a
// right-aligned text would otherwise lose its beginning); never past the form's right margin.
void fitToText(QLabel* label)
{
    const int needed = label->sizeHint().width();
    if (needed > label->width())
        label->resize(std::min(needed, myMessageBox::kFormWidth - 10 - label->x()), label->height());
}

} // namespace

myMessageBox::myMessageBox(QWidget* parent) : QDialog(parent), ui(new Ui_myMessageBox)
{
    ui->setupUi(this);
    // A dialog window whose only title-bar button is the close button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint);
    connect(ui->btn_msg_cancel, &QPushButton::clicked, this, &myMessageBox::btn_cancel);
    connect(ui->btn_msg_ok, &QPushButton::clicked, this, &myMessageBox::btn_ok_continue);

    auto makeCaption = [](QPushButton* button, const char* name) {
        QLabel* label = new QLabel(button);
        label->setObjectName(QString::fromLatin1(name));
        label->setGeometry(button->rect());
        label->setAlignment(Qt::AlignCenter);
        label->setWordWrap(true);
        // Captions come from the language files: shown as written, never as markup.
        label->setTextFormat(Qt::PlainText);
        QFont font = label->font();
        font.setPointSize(10);
        label->setFont(font);
        // Clicks on the caption reach the button underneath.
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        return label;
    };
    lab_box_cancel = makeCaption(ui->btn_msg_cancel, "lab_box_cancel");
    lab_box_ok = makeCaption(ui->btn_msg_ok, "lab_box_ok");
}

myMessageBox::~myMessageBox()
{
    // Only this dialog's own captions: another instance may have replaced the pointers since.
    for (QLabel** caption : {&lab_box_ok, &lab_box_cancel}) {
        if (*caption && (*caption)->parentWidget() &&
            ((*caption)->parentWidget() == ui->btn_msg_ok || (*caption)->parentWidget() == ui->btn_msg_cancel)) {
            delete *caption;
            *caption = nullptr;
        }
    }
    delete ui;
}

QLabel* myMessageBox::okCaption()
{
    return lab_box_ok;
}

QLabel* myMessageBox::cancelCaption()
{
    return lab_box_cancel;
}

std::string myMessageBox::clipUtf8(const std::string& text, std::size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the lead byte of the sequence that does not fit.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut);
}

QString myMessageBox::titleText(unsigned int titleId)
{
    const messages::TitleEntry& entry = messages::findTitle(titleId);
    return tr(__(entry.textId, entry.text).c_str());
}

QString myMessageBox::modeText(unsigned int mode, unsigned int value)
{
    const messages::ModeEntry* entry = messages::findMode(mode);
    if (!entry || entry->textId == 0)
        return QString();
    std::string text = mode == messages::kModeWrongPin ? ml_formatNumber(int(entry->textId), entry->text, value)
                                                       : __(entry->textId, entry->text);
    return tr(clipUtf8(text, kTextBufferSize - 1).c_str());
}

bool myMessageBox::isConfirmationMode(unsigned int mode)
{
    const messages::ModeEntry* entry = messages::findMode(mode);
    return entry && entry->buttons == Buttons::CancelContinue;
}

bool myMessageBox::isChangeFormMode(unsigned int mode)
{
    const messages::ModeEntry* entry = messages::findMode(mode);
    return entry && entry->buttons == Buttons::ChangeForm;
}

void myMessageBox::setWarnMode(unsigned int mode, unsigned int titleId, unsigned int value)
{
    m_mode = mode;
    m_showCancel = isConfirmationMode(mode);
    m_changeForm = isChangeFormMode(mode);

    setWindowTitle(titleText(mode == messages::kModeLabelTooLong ? messages::kTitleChangeLabel : titleId));
    const QString text = modeText(mode, value);

    QLabel* okLabel = ui->btn_msg_ok->findChild<QLabel*>(QStringLiteral("lab_box_ok"));
    QLabel* cancelLabel = ui->btn_msg_cancel->findChild<QLabel*>(QStringLiteral("lab_box_cancel"));
    if (m_showCancel) {
        ui->btn_msg_cancel->show();
        cancelLabel->setText(tr(__(30081, "cancel").c_str()));
        okLabel->setText(tr(__(30080, "continue").c_str()));
    } else {
        ui->btn_msg_cancel->hide();
        okLabel->setText(tr(__(30030, "确认").c_str()));
    }

    QWidget* const formWidgets[] = {ui->lab_tips,       ui->lab_changePIN_2, ui->lab_oldPIN,  ui->lab_newPIN,
                                    ui->lab_confirmPIN, ui->OldPIN_Edit,     ui->NewPIN_Edit, ui->ConfirmPIN_Edit};
    if (m_changeForm) {
        // The form's own maximum; the message layout's 380 x 270 maximum would fight the minimum.
        setMaximumSize(kFormWidth, kFormHeight);
        setMinimumSize(kFormWidth, kFormHeight);
        ui->btn_msg_cancel->setGeometry(kFormCancelRect);
        ui->btn_msg_ok->setGeometry(kFormOkRect);
        centre();
        for (QWidget* w : formWidgets)
            w->show();
        ui->lab_changePIN_2->setText(tr(__(32004, "修改用户USBKEY密码").c_str()));
        for (QLabel* label : {ui->lab_changePIN_2, ui->lab_oldPIN, ui->lab_newPIN, ui->lab_confirmPIN})
            fitToText(label);
    } else {
        setMinimumSize(kMessageWidth, kMessageHeight);
        setMaximumSize(kMessageWidth, kMessageHeight);
        ui->btn_msg_cancel->setGeometry(kMessageCancelRect);
        ui->btn_msg_ok->setGeometry(m_showCancel ? kMessageOkPairRect : kMessageOkAloneRect);
        centre();
        for (QWidget* w : formWidgets)
            w->hide();
    }

    ui->lab_msg->setVisible(!m_changeForm);
    ui->lab_msg->setText(text);
    // Also for a message: the hidden fields must not keep a PIN typed into a form left unsent.
    emptyPinFields();
}

void myMessageBox::centre()
{
    const QRect desktop = QApplication::desktop()->geometry();
    move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);
}

void myMessageBox::emptyPinFields()
{
    for (QLineEdit* edit : {ui->OldPIN_Edit, ui->NewPIN_Edit, ui->ConfirmPIN_Edit})
        pinrules::clearPin(edit);
}

void myMessageBox::showResult(unsigned int mode, unsigned int title, unsigned int value)
{
    setWarnMode(mode, title, value);
    centre();
    exec();
}

void myMessageBox::btn_cancel()
{
    done(1);
}

void myMessageBox::btn_ok_continue()
{
    done(0);
}

int myMessageBox::btn_changePIN_ok()
{
    // Taken out of the fields at once: every outcome below empties them anyway.
    QString oldText = pinrules::takePin(ui->OldPIN_Edit);
    QString newText = pinrules::takePin(ui->NewPIN_Edit);
    QString confirmText = pinrules::takePin(ui->ConfirmPIN_Edit);

    ui->btn_msg_ok->setFocusPolicy(Qt::NoFocus);
    ui->btn_msg_cancel->setFocusPolicy(Qt::NoFocus);

    const pinrules::PinRuleStep* broken =
        pinrules::firstBrokenRule(pinrules::PinEntry::ForcedChange, oldText, newText, confirmText);
    pinrules::wipe(confirmText);
    ULONG rv = 0;
    ULONG retry = 0;
    if (!broken) {
        pinrules::PinBytes oldPin(oldText, pinrules::TextUnit::Utf8);
        pinrules::PinBytes newPin(newText, pinrules::TextUnit::Utf8);
        rv = cDevMgr::getInst()->ChangePIN(mainwin::kUserPin, oldPin.data(), newPin.data(), &retry);
        logSkfFailure("SKF_ChangePIN", rv, cDevMgr::getInst()->connectedDevName());
    }
    pinrules::wipe(oldText);
    pinrules::wipe(newText);
    if (broken) {
        showResult(broken->mode, messages::kTitleChangePin, 0);
        return 0;
    }
    const messages::Message told = messages::resultMessage(messages::Action::ChangePin, rv);
    showResult(told.mode, told.title, unsigned(retry));
    // The change is over once the PIN is changed, or locked by this try.
    return rv == SAR_OK || rv == SAR_PIN_LOCKED ? 1 : 0;
}

// Stays because the dialog's published slot list names it, though nothing connects it: it shows the
// change form again.
void myMessageBox::reopen_changes_PIN()
{
    setWarnMode(messages::kModeChangeForm, messages::kTitleChangePin, 0);
    exec();
    emptyPinFields();
}

void myMessageBox::closeEvent(QCloseEvent* event)
{
    leave();
    event->accept();
}

void myMessageBox::reject()
{
    leave();
}

void myMessageBox::leave()
{
    // Leaving the change form sends nothing: the PINs typed into it go with it.
    if (m_changeForm) {
        emptyPinFields();
        done(kFormClosed);
    } else {
        done(0);
    }
}
