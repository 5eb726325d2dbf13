// A small INI-style key/value store: "[section]" headers and "key=value" lines, read from a
// file or from text held in memory, written back as text. Bytes in, bytes out: no encoding
// is assumed.
#ifndef KEYMGR_MULTILANG_INIFILE_H
#define KEYMGR_MULTILANG_INIFILE_H

#include <map>
#include <string>

namespace tessel {

// Returned by IniSection::GetString for an absent key; a stored value equal to it cannot be
// told apart from a missing key.
inline constexpr char kIniMissingValue[] = "DEFAULT_3B9E61C07A2D4F58B1E6C94D0A7F25E3";

// Flags of RemoveSpaceChar: which ends of the text lose their spaces, tabs and carriage returns.
enum : unsigned long { kTrimLeft = 1, kTrimRight = 2, kTrimBoth = 3 };

// Trims " \t\r" from the left end (bit 0 of flags) and/or the right end (bit 1). A text made
// only of those characters is left as it is.
void RemoveSpaceChar(std::string& s, unsigned long flags);

// Replaces occurrences of `from` with `to`, searching again from the start after each
// replacement, until none is left. An empty `from` changes nothing; when `to` contains
// `from`, each original occurrence is replaced once (a restart would never end).
void ReplaceString(std::string& s, const std::string& from, const std::string& to);

class IniSection {
public:
    explicit IniSection(const std::string& name);

    const std::string& GetName() const { return m_name; }
    const std::map<std::string, std::string>& Values() const { return m_values; }

    // Adds the pair when the key is absent; an existing key keeps its value and gives false.
    bool AddKeyValue(const std::string& key, const std::string& value);
    bool AddKeyValue(unsigned long key, const std::string& value);

    // The stored value, or kIniMissingValue.
    std::string GetString(const std::string& key) const;
    std::string GetString(unsigned long key) const;

    // Replaces any existing value of the key.
    bool SetString(const std::string& key, const std::string& value);

    // Writes "key=value\r\n" for every pair in key order at buf (nothing when buf is null)
    // and returns the number of bytes.
    long Output(char* buf) const;

private:
    std::string m_name;
    std::map<std::string, std::string> m_values;
};

class IniFile {
public:
    IniFile() = default;
    ~IniFile();
    IniFile(const IniFile&) = delete;
    IniFile& operator=(const IniFile&) = delete;

    // Reads a file. An unopenable file gives false and keeps the store; otherwise the store
    // is replaced, and a bad line (empty section name, duplicate key) stops with false,
    // keeping what was read before it. Comment lines start with ';' or '#'; keys are trimmed,
    // values are taken as written after the first '=', with the escapes \r, \n, \t and \\.
    // A pair before the first header and a header without ']' are skipped.
    bool Load(const std::string& path);
    // Reads a NUL-terminated text the same way; an empty or null text gives false and keeps
    // the store.
    bool Load(const char* text);

    IniSection* GetSection(const std::string& name) const;
    // Null for an empty name; the existing section of that name, else a new empty one.
    IniSection* CreateSection(const std::string& name);
    void ClearUp();

    const std::map<std::string, IniSection*>& Sections() const { return m_sections; }

    // Two passes: with a null buf returns the size needed (text plus its terminating NUL,
    // 0 for an empty store); with a buffer of that size writes "[name]\r\n" and the pairs of
    // each section in name order, then the NUL.
    unsigned long Output(char* buf) const;

private:
    enum class LineKind { Ignored, Section, KeyValue };
    struct ParsedLine {
        LineKind kind = LineKind::Ignored;
        std::string name; // section name or key
        std::string value;
    };

    static ParsedLine _ParseLine(const std::string& line);
    bool _ProcessLine(const std::string& line, IniSection** pCurSection);

    std::map<std::string, IniSection*> m_sections;
};

} // namespace tessel

#endif
