// Opening the bank's web address in the desktop's browser.
#ifndef KEYMGR_WEBOPEN_H
#define KEYMGR_WEBOPEN_H

#include <QString>

// Whether address may be handed to the desktop opener: not empty, without a zero byte, and not
// beginning with '-', which the opener would read as one of its options.
bool isOpenableWebAddress(const QString& address);

// Starts "xdg-open" with address as its single argument, without a shell, and does not wait for
// it. false when the address is refused or the opener cannot be started.
bool openWebAddress(const QString& address);

#endif
