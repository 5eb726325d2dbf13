#include "inifile.h"

#include <cstring>
#include <fstream>

namespace tessel {

namespace {

const char kSpaceChars[] = " \t\r";

std::string numberKey(unsigned long key)
{
    return std::to_string(key);
}

// Resolves the escapes of a value in one pass from left to right: \r, \n and \t stand for
// the control characters, \\ for one backslash; any other backslash stays as it is. One pass
// keeps every other byte as written and lets runs of escaped backslashes survive.
void unescapeValue(std::string& value)
{
    if (value.find('\\') == std::string::npos)
        return;
    std::string out;
    out.reserve(value.size());
    for (std::string::size_type i = 0; i < value.size(); ++i) {
        char c = value[i];
        if (c != '\\' || i + 1 == value.size()) {
            out += c;
            continue;
        }
        switch (value[i + 1]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        default: out += c; continue;
        }
        ++i;
    }
    value.swap(out);
}

} // namespace

void RemoveSpaceChar(std::string& s, unsigned long flags)
{
    if (flags & kTrimLeft) {
        std::string::size_type first = s.find_first_not_of(kSpaceChars);
        if (first != std::string::npos)
            s.erase(0, first);
    }
    if (flags & kTrimRight) {
        std::string::size_type last = s.find_last_not_of(kSpaceChars);
        if (last != std::string::npos)
            s.erase(last + 1);
    }
}

void ReplaceString(std::string& s, const std::string& from, const std::string& to)
{
    if (s.empty() || from.empty())
        return;
    if (to.find(from) != std::string::npos) {
        // Restarting at the beginning would find the replacement again for ever: replace each
        // original occurrence once, left to right.
        std::string::size_type pos = 0;
        while ((pos = s.find(from, pos)) != std::string::npos) {
            s.replace(pos, from.size(), to);
            pos += to.size();
        }
        return;
    }
    std::string::size_type pos;
    while ((pos = s.find(from)) != std::string::npos)
        s.replace(pos, from.size(), to);
}

IniSection::IniSection(const std::string& name)
    : m_name(name)
{
}

bool IniSection::AddKeyValue(const std::string& key, const std::string& value)
{
    return m_values.emplace(key, value).second;
}

bool IniSection::AddKeyValue(unsigned long key, const std::string& value)
{
    return AddKeyValue(numberKey(key), value);
}

std::string IniSection::GetString(const std::string& key) const
{
    auto it = m_values.find(key);
    return it == m_values.end() ? std::string(kIniMissingValue) : it->second;
}

std::string IniSection::GetString(unsigned long key) const
{
    return GetString(numberKey(key));
}

bool IniSection::SetString(const std::string& key, const std::string& value)
{
    m_values.erase(key);
    return AddKeyValue(key, value);
}

long IniSection::Output(char* buf) const
{
    long total = 0;
    for (const auto& [key, value] : m_values) {
        if (buf) {
            char* p = buf + total;
            std::memcpy(p, key.data(), key.size());
            p += key.size();
            *p++ = '=';
            std::memcpy(p, value.data(), value.size());
            p += value.size();
            *p++ = '\r';
            *p = '\n';
        }
        total += static_cast<long>(key.size() + value.size() + 3);
    }
    return total;
}

IniFile::~IniFile()
{
    ClearUp();
}

bool IniFile::Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    // A directory opens but cannot be read: treat it like a file that does not open.
    if (!in.is_open() || (in.peek(), in.bad()))
        return false;
    ClearUp();
    IniSection* current = nullptr;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        if (!_ProcessLine(line, &current))
            return false;
    }
    return true;
}

bool IniFile::Load(const char* text)
{
    if (!text || !*text)
        return false;
    ClearUp();
    IniSection* current = nullptr;
    const char* p = text;
    while (*p) {
        const char* end = std::strchr(p, '\n');
        std::size_t length = end ? static_cast<std::size_t>(end - p) : std::strlen(p);
        if (length > 0 && !_ProcessLine(std::string(p, length), &current))
            return false;
        if (!end)
            break;
        p = end + 1;
    }
    return true;
}

IniSection* IniFile::GetSection(const std::string& name) const
{
    if (m_sections.empty())
        return nullptr;
    auto it = m_sections.find(name);
    return it == m_sections.end() ? nullptr : it->second;
}

IniSection* IniFile::CreateSection(const std::string& name)
{
    if (name.empty())
        return nullptr;
    if (IniSection* existing = GetSection(name))
        return existing;
    auto* section = new IniSection(name);
    m_sections.emplace(name, section);
    return section;
}

void IniFile::ClearUp()
{
    for (auto& entry : m_sections)
        delete entry.second;
    m_sections.clear();
}

unsigned long IniFile::Output(char* buf) const
{
    if (m_sections.empty())
        return 0;
    unsigned long total = 0;
    for (const auto& [name, section] : m_sections) {
        if (buf) {
            char* p = buf + total;
            *p++ = '[';
            std::memcpy(p, name.data(), name.size());
            p += name.size();
            std::memcpy(p, "]\r\n", 3);
        }
        total += static_cast<unsigned long>(name.size() + 4);
        total += static_cast<unsigned long>(section->Output(buf ? buf + total : nullptr));
    }
    if (buf)
        buf[total] = '\0';
    return total + 1;
}

IniFile::ParsedLine IniFile::_ParseLine(const std::string& rawLine)
{
    ParsedLine parsed;
    std::string line = rawLine;
    RemoveSpaceChar(line, kTrimLeft);
    if (line.empty() || line[0] == '#' || line[0] == ';')
        return parsed;
    if (line[0] == '[') {
        std::string::size_type close = line.rfind(']');
        // A header without its closing bracket names nothing: the line is skipped.
        if (close == std::string::npos)
            return parsed;
        parsed.kind = LineKind::Section;
        parsed.name = line.substr(1, close - 1);
        return parsed;
    }
    std::string::size_type eq = line.find('=');
    if (eq == std::string::npos)
        return parsed;
    parsed.kind = LineKind::KeyValue;
    parsed.name = line.substr(0, eq);
    RemoveSpaceChar(parsed.name, kTrimBoth);
    parsed.value = line.substr(eq + 1);
    unescapeValue(parsed.value);
    return parsed;
}

bool IniFile::_ProcessLine(const std::string& line, IniSection** pCurSection)
{
    ParsedLine parsed = _ParseLine(line);
    switch (parsed.kind) {
    case LineKind::Ignored:
        return true;
    case LineKind::Section: {
        IniSection* section = CreateSection(parsed.name);
        if (!section)
            return false;
        *pCurSection = section;
        return true;
    }
    case LineKind::KeyValue:
        // A pair before the first header has no section to go into: it is skipped.
        if (!*pCurSection)
            return true;
        return (*pCurSection)->AddKeyValue(parsed.name, parsed.value);
    }
    return true;
}

} // namespace tessel
