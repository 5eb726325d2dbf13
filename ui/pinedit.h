// Taking a PIN out of a line edit without leaving it behind in the edit.
#ifndef KEYMGR_PINEDIT_H
#define KEYMGR_PINEDIT_H

#include <QString>

class QLineEdit;

namespace pinrules {

// Returns a copy of the edit's text that the caller owns (pinrules::wipe() wipes it), overwrites the
// buffer the edit held the text in and leaves the edit empty, with nothing to undo.
QString takePin(QLineEdit* edit);

// Empties the edit the same way, for a PIN nobody will use.
void clearPin(QLineEdit* edit);

} // namespace pinrules

#endif
