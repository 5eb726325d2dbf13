#ifndef KEYMGR_TESTS_MODALDRIVER_H
#define KEYMGR_TESTS_MODALDRIVER_H

#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

// Plays the user of modal dialogs in tests. Queue one step per modal dialog that the code under test
// will show; each step may type into named line edits and then clicks a named button (by object name),
// closes the window or presses Esc. Steps run from zero-delay timers while the dialog's own event loop
// runs, so exec() returns as if a user had answered.
//
//     ModalDriver driver;
//     driver.type("newPIN_edit", "abc123").click("btn_ok");
//     int result = dialog.exec();
//     QVERIFY2(driver.errors().isEmpty(), qPrintable(driver.errors().join('\n')));
//
// A step refuses to act like a user could not: a hidden, disabled or out-of-window button or field is
// an error. On any error, when no modal dialog shows within the timeout, or when the dialog of the
// last step is still open after the timeout, the dialog in view is rejected so that no test hangs;
// the error is kept in errors().
class ModalDriver : public QObject
{
    Q_OBJECT

public:
    // What a step saw of the dialog it answered, taken just before it acted.
    struct Seen
    {
        QString className;
        QString objectName;
        QString windowTitle;
        QMap<QString, QString> labels;         // object name -> text of every visible named QLabel
        QStringList visibleButtons;            // object names of the visible push buttons
        QMap<QString, QString> buttonCaptions; // button -> its text, or the text of a label laid over it
    };

    explicit ModalDriver(QObject* parent = nullptr);
    ~ModalDriver() override;

    // Text to type into a line edit of the next step's dialog (the field is emptied first; the
    // keystrokes are real, so the field's maximum length applies).
    ModalDriver& type(const QString& editName, const QString& text);
    // Runs inside the dialog's event loop just before the next step acts; for extra checks.
    ModalDriver& inspect(std::function<void(QWidget* dialog)> check);
    // Ends the step: click a push button, close the window (title-bar close button) or press Esc.
    ModalDriver& click(const QString& buttonName);
    ModalDriver& close();
    ModalDriver& escape();

    // How long a step waits for its modal dialog (default 5000 ms).
    void setTimeout(int milliseconds) { m_timeoutMs = milliseconds; }

    int pendingSteps() const { return m_steps.size(); }
    int doneSteps() const { return m_seen.size(); }
    const QList<Seen>& seen() const { return m_seen; }
    const Seen& lastSeen() const;
    QStringList errors() const { return m_errors; }
    bool ok() const { return m_errors.isEmpty() && m_steps.isEmpty(); }

    // Snapshot of any widget's visible labels and buttons, as a step records it.
    static Seen snapshot(QWidget* dialog);

private:
    enum class Action { Click, Close, Escape };
    struct Step
    {
        QList<QPair<QString, QString>> typing;
        std::function<void(QWidget*)> check;
        Action action = Action::Click;
        QString button;
    };

    ModalDriver& finishStep(Action action, const QString& button);
    void poll();
    void watchLast();
    void act(QWidget* dialog);
    void fail(QWidget* dialog, const QString& message);
    bool reachable(QWidget* dialog, QWidget* widget, QString* why) const;

    Step m_building;
    QList<Step> m_steps;
    QList<Seen> m_seen;
    QStringList m_errors;
    QTimer m_timer;
    qint64 m_waitStarted = -1;
    int m_timeoutMs = 5000;
    QPointer<QWidget> m_lastDialog;
    QTimer m_watch;
    qint64 m_watchStarted = 0;
};

#endif
