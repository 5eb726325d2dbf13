// Small file helpers every test needs: write, read, mode, and the log of the desktop-command stubs.
#ifndef KEYMGR_TESTS_TESTFILES_H
#define KEYMGR_TESTS_TESTFILES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// Writes data to path, replacing the file and creating missing folders: true when all was written.
bool writeFile(const QString& path, const QByteArray& data);
// The file's bytes, or "<unreadable>" so that a comparison with expected bytes fails.
QByteArray readFile(const QString& path);
// Writes data to a FIFO without waiting for a reader: false when no reader has it open.
bool writeFifo(const QString& path, const QByteArray& data);
// Permission bits of path itself (a link is not followed), or mode_t(-1) when it does not exist.
mode_t modeOf(const QString& path);

// What the xdg-open and certificate-viewer stubs recorded ($KEYMGR_STUB_LOG): per start the line
// "<name> <argc>", then each argument on a line of its own.
QByteArray stubLog();
QStringList stubCalls(); // the same, line by line
void clearStubLog();

#endif
