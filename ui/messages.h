// What the message dialog tells the user, as data: the modes and titles the program shows, their
// texts, and the one table from an action's SKF result to the message it shows.
#ifndef KEYMGR_MESSAGES_H
#define KEYMGR_MESSAGES_H

#include "skf_defs.h"

#include <cstddef>

namespace messages {

// The modes the program's code names; the mode table (messages.cpp) holds every mode with its text.
enum Mode : unsigned {
    kModeVerified = 2000,
    kModePinChanged = 2001,
    kModePinTooShort = 2002,
    kModePinLocked = 2007,
    kModeWrongPin = 2009, // the only mode whose text carries a number: the tries left
    kModeChangeForm = 2031,
    kModeLabelTooLong = 3000,
    kModeLabelChanged = 3001,
    kModeConfirmDelete = 4001,
    kModeFailed = 7000,
    kModeSelectCert = 8000,
    kModeImported = 8001,
    kModeExported = 8002,
    kModeImportFailed = 8004,
    kModeExportFailed = 8005,
    kModeCleared = 9011,
    kModeClearFailed = 9012,
};

enum Title : unsigned {
    kTitleChangeLabel = 9001,
    kTitleVerifyPin = 9002,
    kTitleChangePin = 9003,
    kTitleImport = 9005,
    kTitleExport = 9006,
    kTitleView = 9007,
    kTitleDelete = 9008,
    kTitleClear = 9013,
};

// The buttons a mode shows: OK alone, cancel and continue, or the change-PIN form.
enum class Buttons { OkOnly, CancelContinue, ChangeForm };

struct ModeEntry
{
    unsigned mode;
    unsigned long textId; // 0: no text
    const char* text;     // the built-in text, shown when the catalogue has none
    Buttons buttons;
};

struct TitleEntry
{
    unsigned titleId;
    unsigned long textId;
    const char* text;
};

// The entry of a mode, or null for a mode the table does not hold.
const ModeEntry* findMode(unsigned mode);
// The whole mode table, in the order of the modes.
const ModeEntry* allModes(std::size_t* count);
// The entry of a title; a title the table does not hold gets the default one.
const TitleEntry& findTitle(unsigned titleId);

// Built-in texts that the password rules show as well, in the SetPin dialog.
extern const char kTextRuleHint[];
extern const char kTextConfirmError[];
extern const char kTextSameAsOld[];
extern const char kTextTooShort[];

// The actions whose SKF result the window reports.
enum class Action {
    VerifyPin,
    ChangePin,
    ChangeLabel,
    ImportCertificate,
    ExportCertificate,
    DeleteContainer,
    ClearContainers
};

// What an action shows for a result: mode 0 shows nothing.
struct Message
{
    unsigned mode;
    unsigned title;
    unsigned long textId; // the mode's text id, 0 when it has none
};

// A message of a mode and title, with the mode's text id.
Message messageOf(unsigned mode, unsigned title);
// The message of an action's result: the row for that very code, else the action's row for every
// other code.
Message resultMessage(Action action, ULONG result);
// The same for an outcome that is not one SKF result (a file read as well as a token call).
Message outcomeMessage(Action action, bool done);

} // namespace messages

#endif
