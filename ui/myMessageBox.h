#ifndef KEYMGR_MYMESSAGEBOX_H
#define KEYMGR_MYMESSAGEBOX_H

#include <QDialog>

#include <string>

class QCloseEvent;
class QLabel;
class Ui_myMessageBox;

// The one modal dialog through which the program reports results, asks for confirmations and
// forces the change of a user PIN that still has its factory value. Use: setWarnMode(), then exec().
// exec() returns 1 only for the cancel button; 0 for OK/continue, the close button and Esc, except
// that closing the change form (close button or Esc) returns kFormClosed, so that it can be left.
class myMessageBox : public QDialog
{
    Q_OBJECT

public:
    // Sizes of the two layouts.
    static constexpr int kMessageWidth = 380;
    static constexpr int kMessageHeight = 270;
    static constexpr int kFormWidth = 760;
    static constexpr int kFormHeight = 540;
    // Room for the message text, terminator included.
    static constexpr std::size_t kTextBufferSize = 2048;
    // exec() result when the change form was closed; the fields are then already emptied.
    static constexpr int kFormClosed = 2;

    explicit myMessageBox(QWidget* parent = nullptr);
    ~myMessageBox() override;

    // Fills in title, text, buttons and layout from the mode and title tables; does not show the
    // dialog. value is used by mode 2009 only (the remaining PIN tries).
    void setWarnMode(unsigned int mode, unsigned int titleId, unsigned int value);

    // The title and text the tables give, looked up in the current language.
    static QString titleText(unsigned int titleId);
    static QString modeText(unsigned int mode, unsigned int value);
    // Whether a mode asks a question (cancel and continue) or shows the change-PIN form.
    static bool isConfirmationMode(unsigned int mode);
    static bool isChangeFormMode(unsigned int mode);

    // text cut to at most maxBytes bytes, never inside a UTF-8 sequence.
    static std::string clipUtf8(const std::string& text, std::size_t maxBytes);

    // Empties the three PIN fields of the change form, overwriting what they held.
    void emptyPinFields();
    // Esc: like the close button.
    void reject() override;

    bool showsCancel() const { return m_showCancel; }
    bool showsChangeForm() const { return m_changeForm; }
    unsigned int lastMode() const { return m_mode; }

    // The captions laid over the buttons (one pair per process).
    static QLabel* okCaption();
    static QLabel* cancelCaption();

public slots:
    void btn_cancel();
    void btn_ok_continue();
    // Carries out the change collected by the change form; 1 ends the change loop, 0 shows the
    // form again.
    int btn_changePIN_ok();
    void reopen_changes_PIN();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void centre();
    void showResult(unsigned int mode, unsigned int title, unsigned int value);
    void leave();

    Ui_myMessageBox* ui;
    bool m_showCancel = false;
    bool m_changeForm = false;
    unsigned int m_mode = 0;
};

#endif
