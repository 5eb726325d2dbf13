#include "modaldriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWidget>

namespace {

// ASCII goes in as key presses; anything else is committed through the input method, as a user
// with an input method for Chinese would enter it.
void typeText(QLineEdit* edit, const QString& text)
{
    QString run;
    auto commitRun = [&] {
        if (run.isEmpty())
            return;
        QInputMethodEvent event;
        event.setCommitString(run);
        QApplication::sendEvent(edit, &event);
        run.clear();
    };
    for (QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7f) {
            commitRun();
            QTest::keyClick(edit, char(c.unicode()));
        } else {
            run += c;
        }
    }
    commitRun();
}

} // namespace

ModalDriver::ModalDriver(QObject* parent) : QObject(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(0);
    connect(&m_timer, &QTimer::timeout, this, &ModalDriver::poll);
    m_watch.setSingleShot(true);
    connect(&m_watch, &QTimer::timeout, this, &ModalDriver::watchLast);
}

ModalDriver::~ModalDriver()
{
    m_timer.stop();
    m_watch.stop();
}

ModalDriver& ModalDriver::type(const QString& editName, const QString& text)
{
    m_building.typing.append(qMakePair(editName, text));
    return *this;
}

ModalDriver& ModalDriver::inspect(std::function<void(QWidget*)> check)
{
    m_building.check = std::move(check);
    return *this;
}

ModalDriver& ModalDriver::click(const QString& buttonName)
{
    return finishStep(Action::Click, buttonName);
}

ModalDriver& ModalDriver::close()
{
    return finishStep(Action::Close, QString());
}

ModalDriver& ModalDriver::escape()
{
    return finishStep(Action::Escape, QString());
}

ModalDriver& ModalDriver::finishStep(Action action, const QString& button)
{
    m_building.action = action;
    m_building.button = button;
    m_steps.append(m_building);
    m_building = Step();
    m_watch.stop();
    if (!m_timer.isActive()) {
        m_waitStarted = -1;
        m_timer.start();
    }
    return *this;
}

const ModalDriver::Seen& ModalDriver::lastSeen() const
{
    static const Seen none;
    return m_seen.isEmpty() ? none : m_seen.last();
}

ModalDriver::Seen ModalDriver::snapshot(QWidget* dialog)
{
    Seen s;
    s.className = QString::fromLatin1(dialog->metaObject()->className());
    s.objectName = dialog->objectName();
    s.windowTitle = dialog->windowTitle();
    for (QLabel* label : dialog->findChildren<QLabel*>()) {
        if (!label->objectName().isEmpty() && label->isVisibleTo(dialog))
            s.labels.insert(label->objectName(), label->text());
    }
    for (QPushButton* button : dialog->findChildren<QPushButton*>()) {
        if (button->objectName().isEmpty() || !button->isVisibleTo(dialog))
            continue;
        s.visibleButtons.append(button->objectName());
        QString caption = button->text();
        if (caption.isEmpty()) {
            const QLabel* over = button->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
            if (over)
                caption = over->text();
        }
        s.buttonCaptions.insert(button->objectName(), caption);
    }
    s.visibleButtons.sort();
    return s;
}

void ModalDriver::poll()
{
    if (m_steps.isEmpty())
        return;
    QWidget* dialog = QApplication::activeModalWidget();
    // The dialog just answered may still be on its way out; wait for the next one to show.
    if (!dialog || !dialog->isVisible()) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (m_waitStarted < 0)
            m_waitStarted = now;
        if (now - m_waitStarted > m_timeoutMs) {
            m_errors.append(QStringLiteral("no modal dialog appeared within %1 ms for step %2")
                                .arg(m_timeoutMs)
                                .arg(m_seen.size() + 1));
            m_steps.clear();
            return;
        }
        m_timer.start(dialog ? 0 : 5);
        return;
    }
    m_waitStarted = -1;
    act(dialog);
    if (!m_steps.isEmpty())
        m_timer.start(0);
    else if (m_lastDialog && m_errors.isEmpty()) {
        m_watchStarted = QDateTime::currentMSecsSinceEpoch();
        m_watch.start(10);
    }
}

void ModalDriver::watchLast()
{
    // The last step was meant to end the dialog; one that stays open would wait for ever. Once it has
    // closed, a later exec() of the same dialog is none of this driver's business.
    if (!m_steps.isEmpty() || !m_lastDialog || !m_lastDialog->isVisible())
        return;
    if (QDateTime::currentMSecsSinceEpoch() - m_watchStarted < m_timeoutMs) {
        m_watch.start(10);
        return;
    }
    fail(m_lastDialog, QStringLiteral("still open %1 ms after the last step").arg(m_timeoutMs));
}

bool ModalDriver::reachable(QWidget* dialog, QWidget* widget, QString* why) const
{
    if (!widget->isVisibleTo(dialog)) {
        *why = QStringLiteral("is hidden");
        return false;
    }
    if (!widget->isEnabled()) {
        *why = QStringLiteral("is disabled");
        return false;
    }
    const QRect inDialog(widget->mapTo(dialog, QPoint(0, 0)), widget->size());
    if (!dialog->rect().contains(inDialog)) {
        *why = QStringLiteral("lies outside the %1x%2 window at %3,%4 %5x%6")
                   .arg(dialog->width())
                   .arg(dialog->height())
                   .arg(inDialog.x())
                   .arg(inDialog.y())
                   .arg(inDialog.width())
                   .arg(inDialog.height());
        return false;
    }
    return true;
}

void ModalDriver::fail(QWidget* dialog, const QString& message)
{
    m_errors.append(QStringLiteral("step %1 (%2 \"%3\"): %4")
                        .arg(m_seen.size())
                        .arg(QString::fromLatin1(dialog->metaObject()->className()), dialog->windowTitle(), message));
    // Never leave a test waiting on a dialog nobody will answer.
    m_steps.clear();
    if (QDialog* d = qobject_cast<QDialog*>(dialog))
        d->reject();
    else
        dialog->close();
}

void ModalDriver::act(QWidget* dialog)
{
    const Step step = m_steps.takeFirst();
    m_lastDialog = dialog;
    QString why;
    for (const auto& typed : step.typing) {
        QLineEdit* edit = dialog->findChild<QLineEdit*>(typed.first);
        if (!edit) {
            m_seen.append(snapshot(dialog));
            fail(dialog, QStringLiteral("no line edit named %1").arg(typed.first));
            return;
        }
        if (!reachable(dialog, edit, &why)) {
            m_seen.append(snapshot(dialog));
            fail(dialog, QStringLiteral("line edit %1 %2").arg(typed.first, why));
            return;
        }
        edit->setFocus();
        edit->clear();
        typeText(edit, typed.second);
    }
    m_seen.append(snapshot(dialog));
    if (step.check)
        step.check(dialog);

    switch (step.action) {
    case Action::Close:
        dialog->close();
        return;
    case Action::Escape:
        QTest::keyClick(dialog, Qt::Key_Escape);
        return;
    case Action::Click:
        break;
    }
    QAbstractButton* button = dialog->findChild<QAbstractButton*>(step.button);
    if (!button) {
        fail(dialog, QStringLiteral("no button named %1").arg(step.button));
        return;
    }
    if (!reachable(dialog, button, &why)) {
        fail(dialog, QStringLiteral("button %1 %2").arg(step.button, why));
        return;
    }
    // Click what lies at the button's centre, as the pointer would: a caption that swallowed the
    // click would leave the dialog open (and the step would time out on the next one).
    const QPoint centre = button->mapTo(dialog, button->rect().center());
    QWidget* target = dialog->childAt(centre);
    if (!target)
        target = button;
    QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, target->mapFrom(dialog, centre));
}
