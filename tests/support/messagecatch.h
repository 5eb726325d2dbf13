// Plays the user of the program's message dialog (myMessageBox): records what it showed and
// answers it with OK.
#ifndef KEYMGR_TESTS_MESSAGECATCH_H
#define KEYMGR_TESTS_MESSAGECATCH_H

#include <QString>

#include <functional>

class myMessageBox;

struct ShownMessage
{
    bool shown = false;
    unsigned mode = 0;
    QString title;
    QString text;
    QString other; // class of another modal dialog that appeared
};

// What the dialog shows now.
ShownMessage readMessage(const myMessageBox* box);
// Runs action; each message dialog it opens is recorded (the last one counts) and answered with OK.
// Another modal dialog is rejected and recorded when rejectOthers is set, else left to a ModalDriver.
ShownMessage catchMessages(const std::function<void()>& action, bool rejectOthers = true);

#endif
