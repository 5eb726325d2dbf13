// What the window tells in the tray, and waits for it to handle token events. It tells every
// insertion and removal there before it does anything else with the event, so the next message after
// a token is plugged is that event's: a wait ends as soon as the window has told anything, and once
// an event never arrived no later wait starts.
#ifndef KEYMGR_TESTS_TRAYLOG_H
#define KEYMGR_TESTS_TRAYLOG_H

#include "MainWindow.h"
#include "softskf_fixture.h"

#include <QtTest>

class TrayLog
{
public:
    struct Message
    {
        QString title;
        QString text;
        int msecs;
    };

    explicit TrayLog(MainWindow* window)
    {
        window->setTrayMessageObserver([this](const QString& title, const QString& text, int msecs) {
            m_messages.append({title, text, msecs});
        });
    }
    const QList<Message>& messages() const { return m_messages; }
    int size() const { return m_messages.size(); }
    QStringList texts(int from = 0) const
    {
        QStringList texts;
        for (int i = from; i < m_messages.size(); ++i)
            texts << m_messages[i].text;
        return texts;
    }

    // Waits (20 s at most) until `count` messages were told in all.
    bool waitFor(int count)
    {
        m_lost = m_lost || !QTest::qWaitFor([&] { return m_messages.size() >= count; }, 20000);
        if (m_lost)
            qWarning("the window told no token event in the tray within 20 s");
        return !m_lost;
    }
    // Message `at`, once told, is `text`.
    bool told(int at, const QString& text)
    {
        if (!waitFor(at + 1))
            return false;
        if (m_messages[at].text != text)
            qWarning("the tray told \"%s\", not \"%s\"", qPrintable(m_messages[at].text), qPrintable(text));
        return m_messages[at].text == text;
    }
    // Plugs the token in or out and waits until the window has told that event.
    bool plug(SoftSkfFixture& fx, const QString& name, bool in)
    {
        const int at = m_messages.size();
        return !m_lost && (in ? fx.insert(name) : fx.remove(name)) &&
               told(at, in ? QStringLiteral("RUZ-Ururov inserted") : QStringLiteral("RUZ-Ururov removed"));
    }

private:
    QList<Message> m_messages;
    bool m_lost = false;
};

#endif
