// Certificate files the program writes (an export chosen by the user, the viewer's temporary copy)
// and the start of the desktop certificate viewer.
#ifndef KEYMGR_CERTFILE_IO_H
#define KEYMGR_CERTFILE_IO_H

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace certfile {

// Name of the viewer's copy in the shared temporary directory.
extern const char kViewerFileName[];

// The shared temporary directory the viewer's copy goes to: "/tmp" unless a test moved it.
QString tempDir();
void setTempDirForTesting(const QString& dir);

// Writes an exported certificate to a path the user chose, truncating an existing file. Refuses a
// target that is not a regular file of the user's own, or a symbolic link another user owns. The
// result is never writable by other users, whatever the file-creation mask. False when the file
// cannot be created or fully written; a file this call created is then removed again.
bool writeExportFile(const QString& path, const QByteArray& data);

// Writes the viewer's copy (mode 0600) at tempDir()/lumeno.cer when that is safe: never through a
// symbolic link, never into a file that another user owns or may write. Otherwise writes it in a
// private folder of the user. Returns the path written, empty on failure.
QString writeViewerFile(const QByteArray& data);

// The viewers tried in order; the first one found on PATH is used.
QStringList viewerCandidates();
// Absolute path of the first installed viewer, empty when none is.
QString viewerProgram();
// Starts the viewer detached with the file as its one argument; no shell is involved.
bool startViewer(const QString& file);

} // namespace certfile

#endif
