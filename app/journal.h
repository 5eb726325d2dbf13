// Sends the program's log records to the systemd journal once it runs as a daemon, whose
// standard descriptors lead nowhere.
#ifndef KEYMGR_JOURNAL_H
#define KEYMGR_JOURNAL_H

#include <QtGlobal>

// Installs the message handler: every record goes to the journal as identifier "keymgr" with its
// priority, category and structured fields; a record the journal does not take (no journal
// socket) goes to the handler that was installed before, which writes to standard error.
void installJournalHandler();

#endif
