// The forced change of a user PIN that still has its factory value, run on the message dialog.
#ifndef KEYMGR_FORCEDCHANGE_H
#define KEYMGR_FORCEDCHANGE_H

#include "tokenchoice.h"

#include <string>

class myMessageBox;

enum class ForcedChangeEnd {
    Done,    // the PIN was changed, or got locked trying
    Left,    // the user closed the form (close button, Esc) or pressed a cancel button
    Removed, // the token is no longer present
};

// Shows the change form on `box` until the user PIN of the chosen token is changed or locked, the
// user leaves the form, or the token is gone. The token is reopened by name before each change, so
// nothing done while the form was up can send the change to another token; nothing is sent after
// the form was closed or the token removed. The form is offered again by the next run of the token
// event handler.
ForcedChangeEnd forceUserPinChange(myMessageBox* box, const TokenChoice& choice);

// Whether the SKF library lists the token `device` as present now.
bool tokenPresent(const std::string& device);

#endif
