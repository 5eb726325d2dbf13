// The constants the window's files share: which PIN the actions present, the pages of the two tab
// widgets, and the roles under which tree rows keep their data. The message modes and titles are in
// messages.h.
#ifndef KEYMGR_WINDOWCONSTANTS_H
#define KEYMGR_WINDOWCONSTANTS_H

#include "skf_defs.h"

#include <Qt>

namespace mainwin {

// Every PIN the window verifies or changes is the user PIN.
constexpr ULONG kUserPin = USER_TYPE;

// Pages of tabWidget; page 0 is never shown.
enum Page : int { kPageToken = 1, kPageCertificates = 2, kPageAbout = 3 };
// Pages of tabWidget_2 on the token page; pages 4 to 7 are never shown.
enum TokenPage : int { kTokenPageMain = 0, kTokenPageInfo = 1, kTokenPageLabel = 2, kTokenPageVerify = 3 };

// Data roles of tree rows, side by side so that no two share a number.
constexpr int kCertificateBytesRole = Qt::UserRole + 1; // the certificate row's bytes read with the tree
constexpr int kNameBytesRole = Qt::UserRole + 2;        // the bytes of the name a row shows

} // namespace mainwin

#endif
