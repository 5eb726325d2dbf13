#include "passwordrules.h"

#include "messages.h"

#include <openssl/crypto.h>

namespace pinrules {
namespace {

constexpr TextUnit L1 = TextUnit::Latin1;
constexpr TextUnit U8 = TextUnit::Utf8;

// The texts of the message modes these rules show, also shown inside the SetPin dialog.
constexpr const char* kRuleHint = messages::kTextRuleHint;
constexpr const char* kConfirmError = messages::kTextConfirmError;
constexpr const char* kSameAsOld = messages::kTextSameAsOld;
constexpr const char* kTooShort = messages::kTextTooShort;

// Each entry point's rules in the order it applies them; the first broken rule decides the message.
// Every place that sets a PIN refuses one with other than printable ASCII, with the rule hint.
// clang-format off
//    rule                    unit  mode  text id  default text
const PinRuleStep kForcedChange[] = {
    {PinRule::PrintableAscii, U8, 2032, 32050, kRuleHint},
    {PinRule::TwoClasses,     U8, 2032, 32050, kRuleHint},
    {PinRule::ConfirmMatches, U8, 2005, 30038, kConfirmError},
    {PinRule::DiffersFromOld, U8, 2006, 30069, kSameAsOld},
    {PinRule::LongerThanFive, U8, 2002, 30078, kTooShort},
};
const PinRuleStep kSetPinDialog[] = {
    {PinRule::ConfirmMatches, U8, 0, 30038, kConfirmError},
    {PinRule::PrintableAscii, U8, 0, 32050, kRuleHint},
    {PinRule::TwoClasses,     U8, 0, 32050, kRuleHint},
    {PinRule::LongerThanFive, U8, 0, 32050, kRuleHint},
    {PinRule::DiffersFromOld, U8, 0, 30069, kSameAsOld},
};
const PinRuleStep kChangePinPage[] = {
    {PinRule::PrintableAscii, U8, 2032, 32050, kRuleHint},
    {PinRule::ConfirmMatches, U8, 2005, 30038, kConfirmError},
    {PinRule::DiffersFromOld, U8, 2006, 30069, kSameAsOld},
    {PinRule::LongerThanFive, U8, 2002, 30078, kTooShort},
};
const PinRuleStep kVerifyPinPage[] = {
    {PinRule::LongerThanFive, U8, 2002, 30078, kTooShort},
};
// clang-format on

template <std::size_t N> constexpr std::size_t countOf(const PinRuleStep (&)[N])
{
    return N;
}

// Per entry point: its name, the characters a PIN field holds (every PIN is 6 to 16), the unit and
// minimum length of every field before OK is enabled while typing (0: always), then its rules.
// clang-format off
const PinEntryRules kEntries[] = {
    {PinEntry::ForcedChange,  "forced change",     16, L1, 0, kForcedChange,  countOf(kForcedChange)},
    {PinEntry::SetPinDialog,  "PIN-change dialog", 16, L1, 0, kSetPinDialog,  countOf(kSetPinDialog)},
    {PinEntry::ChangePinPage, "Change PIN page",   16, L1, 6, kChangePinPage, countOf(kChangePinPage)},
    {PinEntry::VerifyPinPage, "Verify PIN page",   16, L1, 6, kVerifyPinPage, countOf(kVerifyPinPage)},
    // Typing rules only: the OK buttons of these pages lead to no operation.
    {PinEntry::UnblockPinPage, "Unblock PIN page",  16, L1, 6,  nullptr, 0},
    {PinEntry::DevAuthKeyPage, "device key page",   16, L1, 16, nullptr, 0},
    {PinEntry::InitializePage, "Initialize page",   16, L1, 6,  nullptr, 0},
};
// clang-format on

} // namespace

const PinEntryRules* allEntries(std::size_t* count)
{
    if (count)
        *count = sizeof kEntries / sizeof kEntries[0];
    return kEntries;
}

const PinEntryRules& rulesFor(PinEntry entry)
{
    for (const PinEntryRules& e : kEntries) {
        if (e.entry == entry)
            return e;
    }
    return kEntries[0];
}

unsigned charClasses(std::string_view bytes)
{
    unsigned classes = 0;
    for (char c : bytes) {
        if (c >= 'A' && c <= 'Z')
            classes |= ClassUpper;
        else if (c >= 'a' && c <= 'z')
            classes |= ClassLower;
        else if (c >= '0' && c <= '9')
            classes |= ClassDigit;
    }
    return classes;
}

int classCount(std::string_view bytes)
{
    const unsigned c = charClasses(bytes);
    return int((c & ClassUpper) != 0) + int((c & ClassLower) != 0) + int((c & ClassDigit) != 0);
}

bool ruleHolds(PinRule rule, std::string_view oldPin, std::string_view newPin, std::string_view confirmPin)
{
    switch (rule) {
    case PinRule::TwoClasses:
        return classCount(newPin) >= 2;
    case PinRule::ConfirmMatches:
        return newPin == confirmPin;
    case PinRule::DiffersFromOld:
        return newPin != oldPin;
    case PinRule::LongerThanFive:
        return newPin.size() > 5;
    case PinRule::PrintableAscii:
        for (unsigned char c : newPin) {
            if (c < 0x20 || c > 0x7E)
                return false;
        }
        return true;
    }
    return false;
}

const PinRuleStep* firstBrokenRule(PinEntry entry, const QString& oldPin, const QString& newPin,
                                   const QString& confirmPin)
{
    for (const PinRuleStep& step : rulesFor(entry)) {
        PinBytes o(oldPin, step.unit);
        PinBytes n(newPin, step.unit);
        PinBytes c(confirmPin, step.unit);
        if (!ruleHolds(step.rule, o.view(), n.view(), c.view()))
            return &step;
    }
    return nullptr;
}

const PinRuleStep* firstBrokenRuleBytes(PinEntry entry, std::string_view oldPin, std::string_view newPin,
                                        std::string_view confirmPin)
{
    for (const PinRuleStep& step : rulesFor(entry)) {
        if (!ruleHolds(step.rule, oldPin, newPin, confirmPin))
            return &step;
    }
    return nullptr;
}

int pinLength(const QString& text, TextUnit unit)
{
    if (unit == TextUnit::Latin1)
        return text.size();
    PinBytes bytes(text, unit);
    return bytes.size();
}

bool okEnabled(PinEntry entry, std::initializer_list<QString> fields)
{
    const PinEntryRules& rules = rulesFor(entry);
    for (const QString& f : fields) {
        if (pinLength(f, rules.enableUnit) < rules.enableMinLength)
            return false;
    }
    return true;
}

QByteArray pinBytes(const QString& text, TextUnit unit)
{
    return unit == TextUnit::Latin1 ? text.toLatin1() : text.toUtf8();
}

void wipe(void* data, std::size_t size)
{
    if (data && size)
        OPENSSL_cleanse(data, size);
}

void wipe(QByteArray& bytes)
{
    // data() would copy a shared buffer and wipe only the copy.
    if (bytes.isDetached())
        wipe(bytes.data(), std::size_t(bytes.size()));
    bytes.clear();
}

void wipe(QString& text)
{
    if (text.isDetached())
        wipe(text.data(), std::size_t(text.size()) * sizeof(QChar));
    text.clear();
}

PinBytes::PinBytes(const QString& text, TextUnit unit) : m_bytes(pinBytes(text, unit)) {}

PinBytes::~PinBytes()
{
    wipe(m_bytes);
}

} // namespace pinrules
