// Feeds arbitrary bytes to the INI reader, the catalogue's in-memory load and the format
// check. A format the check accepts is then really used with its argument, so a check that
// lets a wrong conversion through shows up under the sanitizers.
#include "inifile.h"
#include "multilang.h"
#include "text_ids.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void useFormat(const std::string& format, const char* defaultFormat)
{
    char out[512];
    if (std::strstr(defaultFormat, "%ld"))
        std::snprintf(out, sizeof out, format.c_str(), 123456789L);
    else
        std::snprintf(out, sizeof out, format.c_str(), 42);
}
#pragma GCC diagnostic pop

void checkOutput(const tessel::IniFile& ini)
{
    unsigned long size = ini.Output(nullptr);
    if (size == 0)
        return;
    std::vector<char> buf(size);
    if (ini.Output(buf.data()) != size || buf[size - 1] != '\0')
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    tessel::IniFile ini;
    ini.Load(text.c_str());
    checkOutput(ini);

    std::string trimmed = text;
    tessel::RemoveSpaceChar(trimmed, size & 3);
    tessel::ReplaceString(trimmed, "\\\\", "\\");
    tessel::ReplaceString(trimmed, "a", "ab");
    tessel::ReplaceString(trimmed, "", "x");

    tessel::MultiLanguage catalogue;
    const bool loaded = catalogue.LoadData(text.c_str());
    for (const auto& entry : tessel::kTextIds) {
        if (!std::strchr(entry.defaultText, '%'))
            continue;
        if (tessel::ml_formatMatches(text, entry.defaultText))
            useFormat(text, entry.defaultText);
        if (loaded) {
            std::string looked = catalogue.GetString(entry.id, entry.defaultText);
            if (tessel::ml_formatMatches(looked, entry.defaultText))
                useFormat(looked, entry.defaultText);
        }
    }
    return 0;
}
