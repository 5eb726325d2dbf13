#ifndef KEYMGR_PASSWORDRULES_H
#define KEYMGR_PASSWORDRULES_H

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <initializer_list>
#include <string_view>

// The password rules of every place where a PIN is typed, kept side by side in one table
// (passwordrules.cpp) so that the entry points can be compared and cannot drift apart.
namespace pinrules {

enum class PinEntry {
    ForcedChange,  // the message dialog's change form for a PIN that is still the factory value
    SetPinDialog,  // the SetPin dialog
    ChangePinPage, // the main window's Change PIN page
    VerifyPinPage, // the main window's Verify PIN page
    // Pages whose OK buttons lead to no operation: only their typing rule applies.
    UnblockPinPage, // SO PIN, new user PIN and its confirmation
    DevAuthKeyPage, // old, new and confirmed device authentication key (also the initialise page's key)
    InitializePage, // the initialise page's new SO and user PIN
};

// How a PIN text is turned into bytes. Every PIN reaches the token as UTF-8, so that one typed PIN is
// one byte string on every path; Latin-1 only counts characters while typing.
enum class TextUnit { Latin1, Utf8 };

enum class PinRule {
    TwoClasses,     // at least two of upper-case A-Z, lower-case a-z, digit 0-9 (empty fails)
    ConfirmMatches, // confirmation equal to the new PIN
    DiffersFromOld, // new PIN not equal to the old one
    LongerThanFive, // new PIN longer than 5 bytes
    PrintableAscii, // every byte of the new PIN is printable ASCII: other token clients encode other
                    // characters differently, and the PIN would then no longer verify there
};

// One rule as an entry point applies it, with what the user is told when it fails: a message mode of
// the message dialog, or (mode 0) a text shown inside the dialog itself.
struct PinRuleStep
{
    PinRule rule;
    TextUnit unit;
    unsigned mode;
    unsigned long textId;
    const char* defaultText;
};

struct PinEntryRules
{
    PinEntry entry;
    const char* name;
    int maxChars;        // characters each PIN field holds: the longest PIN the rules allow, cut nowhere
    TextUnit enableUnit; // unit of enableMinLength
    int enableMinLength; // every field at least this long before OK is enabled (0: always enabled)
    const PinRuleStep* steps;
    std::size_t stepCount;

    const PinRuleStep* begin() const { return steps; }
    const PinRuleStep* end() const { return steps + stepCount; }
};

// All entry points, in the order of the enum.
const PinEntryRules* allEntries(std::size_t* count);
const PinEntryRules& rulesFor(PinEntry entry);

// Bitmask of the character classes present: 1 upper-case, 2 lower-case, 4 digit. Other bytes count
// towards none.
enum : unsigned { ClassUpper = 1, ClassLower = 2, ClassDigit = 4 };
unsigned charClasses(std::string_view bytes);
int classCount(std::string_view bytes);

// Whether one rule holds for the given bytes (all three in the same unit).
bool ruleHolds(PinRule rule, std::string_view oldPin, std::string_view newPin, std::string_view confirmPin);

// The first rule of the entry point that the PINs break, in the entry point's order, or nullptr when
// they pass all. Temporary encodings are wiped before returning.
const PinRuleStep* firstBrokenRule(PinEntry entry, const QString& oldPin, const QString& newPin,
                                   const QString& confirmPin);

// The same on bytes already in the unit of the entry point's rules (every step of such an entry point
// uses one unit).
const PinRuleStep* firstBrokenRuleBytes(PinEntry entry, std::string_view oldPin, std::string_view newPin,
                                        std::string_view confirmPin);

// Length of a text in the given unit (Latin-1 bytes are one per UTF-16 unit).
int pinLength(const QString& text, TextUnit unit);

// Whether the entry point's OK button may be enabled while typing: every field at least the minimum.
bool okEnabled(PinEntry entry, std::initializer_list<QString> fields);

// The bytes of a PIN in the given unit.
QByteArray pinBytes(const QString& text, TextUnit unit);

// Overwrites the bytes of a buffer that held a PIN, in a way the compiler keeps.
void wipe(void* data, std::size_t size);
void wipe(QByteArray& bytes);
void wipe(QString& text);

// A byte copy of a PIN that wipes itself when it goes out of scope.
class PinBytes
{
public:
    PinBytes(const QString& text, TextUnit unit);
    ~PinBytes();
    PinBytes(const PinBytes&) = delete;
    PinBytes& operator=(const PinBytes&) = delete;

    std::string_view view() const { return std::string_view(m_bytes.constData(), std::size_t(m_bytes.size())); }
    char* data() { return m_bytes.data(); } // zero-terminated
    int size() const { return m_bytes.size(); }

private:
    QByteArray m_bytes;
};

} // namespace pinrules

#endif
