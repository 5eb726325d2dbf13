#ifndef KEYMGR_KEYOPS_TEXT_H
#define KEYMGR_KEYOPS_TEXT_H

#include <QByteArray>
#include <QString>

#include "skf_defs.h"

// Pieces of the key-operations page that do not need the window: the typing counter, the label's byte
// form and the message mode an SKF result is told with.
namespace keyops {

// Longest label the token keeps: its field holds 32 bytes with the terminator.
constexpr int kMaxLabelBytes = 31;

// "Already input %d character" in the current language, at most 127 bytes once formatted; a catalogue
// text that is not a one-integer format or that would not fit gives the built-in text.
QString counterText(int count);

// The UTF-8 bytes of a text up to its first NUL, as the token receives them.
QByteArray utf8UntilNul(const QString& text);

// Message modes of the outcomes the page tells apart.
enum : unsigned {
    kModeVerified = 2000,
    kModePinChanged = 2001,
    kModePinTooShort = 2002,
    kModePinLocked = 2007,
    kModeWrongPin = 2009,
    kModeLabelTooLong = 3000,
    kModeLabelChanged = 3001,
    kModeFailed = 7000,
};
enum : unsigned { kTitleChangeLabel = 9001, kTitleVerifyPin = 9002, kTitleChangePin = 9003 };

// Success gives successMode; a wrong PIN 2009 (shown with the tries left); a locked PIN 2007; any
// other code 7000.
unsigned resultMode(ULONG result, unsigned successMode);

} // namespace keyops

#endif
