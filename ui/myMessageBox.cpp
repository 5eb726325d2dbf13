#include "myMessageBox.h"

#include "cDevMgr.h"
#include "logging.h"
#include "multilang.h"
#include "passwordrules.h"
#include "pinedit.h"
#include "ui_myMessageBox.h"

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

struct TitleEntry
{
    unsigned int titleId;
    unsigned long textId;
    const char* text;
};

const TitleEntry kTitles[] = {
    {9001, 32030, "Change Label"},     {9002, 32032, "Verify PIN"},         {9003, 32031, "Change PIN"},
    {9004, 32029, "Unblock PIN"},      {9005, 32036, "Import Certificate"}, {9006, 32037, "Export Certificate"},
    {9007, 32038, "View Certificate"}, {9008, 32039, "Delete Container"},   {9009, 32040, "Change DevAuthKey"},
    {9010, 32028, "Initialize"},       {9013, 32056, "清除垃圾文件"},
};
const TitleEntry kDefaultTitle = {0, 30071, "U Key"};

enum Buttons { OkOnly, CancelContinue, ChangeForm };

struct ModeEntry
{
    unsigned int mode;
    unsigned long textId; // 0: no text
    const char* text;
    Buttons buttons;
};

const ModeEntry kModes[] = {
    {2000, 30037, "Successfully verify the RUZ-Ururov password", OkOnly},
    {2001, 30041, "Successfully change the RUZ-Ururov password", OkOnly},
    {2002, 30078, "The password entered is not long enough", CancelContinue},
    {2003, 30073, "The password does not contain any combination of numbers and letters", CancelContinue},
    {2004, 30077,
     "The password contains consecutive repeated letters or numbers. you may disregard this message to continue",
     CancelContinue},
    {2005, 30038, "Error in confirming the RUZ-Ururov password entry", OkOnly},
    {2006, 30069, "The old and new RUZ-Ururov passwords are the same", OkOnly},
    {2007, 30039, "RUZ-Ururov password locked", OkOnly},
    {2008, 30044, "RUZ-Ururov change passwd cancel", OkOnly},
    {2009, 30040, "Failure in verifying RUZ-Ururov password %d", OkOnly},
    {2024, 30045, "RUZ-Ururov unblock success", OkOnly},
    {2025, 30046, "RUZ-Ururov unblock fail", OkOnly},
    {2026, 30047, "RUZ-Ururov initialize success", OkOnly},
    {2027, 30048, "RUZ-Ururov initialize fail", OkOnly},
    {2028, 32041, "Please modify the device authentication key first", OkOnly},
    {2029, 32045, "You are initializing Ukey, which will clear all data on Ukey. Do you want to continue?",
     CancelContinue},
    {2030, 32049, "It is detected that the pin is the default pin. Click \"continue\" to modify", CancelContinue},
    {2031, 0, "", ChangeForm},
    {2032, 32050, "密码设置规则:6-16位字母+数字，示例:kv3939", OkOnly},
    {2033, 32051,
     "Sorry, please don't use the combination of simple letter string and simple number string to set the password",
     OkOnly},
    {2034, 0, "", ChangeForm},
    {3000, 30036, "U Shield name is too long, please re-enter within 30 characters in length U Shield new name",
     OkOnly},
    {3001, 30042, "Device label changed successfully", OkOnly},
    {4000, 30065, "Please select a cert", OkOnly},
    {4001, 31001, "It will be deleted!\r\nPlease make sure you want to continue this operation", CancelContinue},
    {5000, 31000, "Object successfully deleted", OkOnly},
    {6001, 30053, "device auth failed", OkOnly},
    {6002, 30050, "Change device auth key success", OkOnly},
    {6003, 30051, "Change device auth key fail", OkOnly},
    {6004, 30052, "Device auth key length error", OkOnly},
    {6005, 30054, "The new key does not match the old key", OkOnly},
    {7000, 30043, "Operation failed", OkOnly},
    {8000, 31002, "please select a cert.", OkOnly},
    {8001, 31003, "import cert success.", OkOnly},
    {8002, 31004, "export cert success.", OkOnly},
    {8003, 31005, "cert not existes.", OkOnly},
    {8004, 31006, "import cert failed.", OkOnly},
    {8005, 31007, "export cert failed.", OkOnly},
    {9011, 32057, "清除垃圾文件成功", OkOnly},
    {9012, 32058, "清除垃圾文件失败", OkOnly},
};

constexpr unsigned int kModeWrongPin = 2009;
constexpr unsigned int kModeLabelTooLong = 3000;
constexpr unsigned int kTitleChangeLabel = 9001;
constexpr unsigned int kTitleChangePin = 9003;
constexpr unsigned long kUserPin = 1;
constexpr unsigned long kResultPinIncorrect = 0x0A000024;
constexpr unsigned long kResultPinLocked = 0x0A000025;

const ModeEntry* findMode(unsigned int mode)
{
    for (const ModeEntry& m : kModes) {
        if (m.mode == mode)
            return &m;
    }
    return nullptr;
}

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
    const TitleEntry* entry = &kDefaultTitle;
    for (const TitleEntry& t : kTitles) {
        if (t.titleId == titleId)
            entry = &t;
    }
    return tr(__(entry->textId, entry->text).c_str());
}

QString myMessageBox::modeText(unsigned int mode, unsigned int value)
{
    const ModeEntry* entry = findMode(mode);
    if (!entry || entry->textId == 0)
        return QString();
    std::string text = mode == kModeWrongPin ? ml_formatNumber(int(entry->textId), entry->text, value)
                                             : __(entry->textId, entry->text);
    return tr(clipUtf8(text, kTextBufferSize - 1).c_str());
}

bool myMessageBox::isConfirmationMode(unsigned int mode)
{
    const ModeEntry* entry = findMode(mode);
    return entry && entry->buttons == CancelContinue;
}

bool myMessageBox::isChangeFormMode(unsigned int mode)
{
    const ModeEntry* entry = findMode(mode);
    return entry && entry->buttons == ChangeForm;
}

void myMessageBox::setWarnMode(unsigned int mode, unsigned int titleId, unsigned int value)
{
    m_mode = mode;
    m_showCancel = isConfirmationMode(mode);
    m_changeForm = isChangeFormMode(mode);

    setWindowTitle(titleText(mode == kModeLabelTooLong ? kTitleChangeLabel : titleId));
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

void myMessageBox::showResult(unsigned int mode, unsigned int value)
{
    setWarnMode(mode, kTitleChangePin, value);
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
        rv = cDevMgr::getInst()->ChangePIN(kUserPin, oldPin.data(), newPin.data(), &retry);
        logSkfFailure("SKF_ChangePIN", rv, cDevMgr::getInst()->connectedDevName());
    }
    pinrules::wipe(oldText);
    pinrules::wipe(newText);
    if (broken) {
        showResult(broken->mode, 0);
        return 0;
    }
    if (rv == 0) {
        showResult(2001, 0);
        return 1;
    }
    if (rv == kResultPinIncorrect) {
        showResult(kModeWrongPin, retry);
        return 0;
    }
    if (rv == kResultPinLocked) {
        showResult(2007, 0);
        return 1;
    }
    showResult(7000, 0);
    return 0;
}

// Nothing connects it; a caller may show the change form again with it.
void myMessageBox::reopen_changes_PIN()
{
    setWarnMode(2031, kTitleChangePin, 0);
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
