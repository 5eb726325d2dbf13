// Starting the desktop programs the user is handed over to: the browser and the certificate viewer.
#ifndef KEYMGR_CHILDPROCESS_H
#define KEYMGR_CHILDPROCESS_H

#include <QString>
#include <QStringList>

namespace childprocess {

// Starts program (a name looked up on PATH, or a path) with arguments, without a shell and without
// waiting for it, in a session of its own. It starts as the user's own programs do, not with the
// daemon's state: the file-creation mask keymgr was started with, every signal at its default
// action and none blocked. False when the program cannot be found or started.
bool startDetached(const QString& program, const QStringList& arguments);

} // namespace childprocess

#endif
