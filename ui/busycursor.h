// The wait cursor during long token walks of the interface thread. The thread is blocked for the
// whole walk, so the time is checked before each SKF call it makes: once a walk has lasted
// kWaitCursorDelayMs, the wait cursor is set over the application. A walk ends when the thread's
// event loop runs again, either because the walk is over or because a modal dialog opened in the
// middle of it; the cursor is then restored, and a walk that goes on after the dialog counts its
// time afresh.
#ifndef KEYMGR_BUSYCURSOR_H
#define KEYMGR_BUSYCURSOR_H

namespace busycursor {

constexpr int kWaitCursorDelayMs = 200;

// Watches the calling thread's SKF calls and event loop; call once on the interface thread after
// the application object exists. Later calls do nothing.
void install();

// Whether the wait cursor is set by a walk now.
bool showing();

} // namespace busycursor

#endif
