#include "busycursor.h"

#include "CGMSKFOperator.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>

namespace {

struct Walk
{
    QElapsedTimer clock; // invalid between walks
    bool cursorSet = false;
    bool installed = false;
};

Walk& walk()
{
    static Walk state;
    return state;
}

void beforeSkfCall()
{
    Walk& w = walk();
    if (!w.clock.isValid()) {
        w.clock.start();
        return;
    }
    if (!w.cursorSet && w.clock.elapsed() >= busycursor::kWaitCursorDelayMs) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        w.cursorSet = true;
    }
}

// The event loop is about to wait: whatever the walk was, the thread is no longer busy with it.
void walkEnded()
{
    Walk& w = walk();
    w.clock.invalidate();
    if (w.cursorSet) {
        w.cursorSet = false;
        QApplication::restoreOverrideCursor();
    }
}

} // namespace

void busycursor::install()
{
    Walk& w = walk();
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (w.installed || !dispatcher)
        return;
    w.installed = true;
    keymgr::setSkfCallHook(&beforeSkfCall);
    QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, &walkEnded);
}

bool busycursor::showing()
{
    return walk().cursorSet;
}
