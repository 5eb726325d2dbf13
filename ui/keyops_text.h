#ifndef KEYMGR_KEYOPS_TEXT_H
#define KEYMGR_KEYOPS_TEXT_H

#include <QByteArray>
#include <QString>

// Pieces of the key-operations page that do not need the window: the typing counter and the label's
// byte form.
namespace keyops {

// Longest label the token keeps: its field holds 32 bytes with the terminator.
constexpr int kMaxLabelBytes = 31;

// "Already input %d character" in the current language, at most 127 bytes once formatted; a catalogue
// text that is not a one-integer format or that would not fit gives the built-in text.
QString counterText(int count);

// The UTF-8 bytes of a text up to its first NUL, as the token receives them.
QByteArray utf8UntilNul(const QString& text);

} // namespace keyops

#endif
