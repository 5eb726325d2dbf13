// The language catalogue: every user-visible text is fetched by a numeric id with a built-in
// default, __(id, "default"). The texts come from the language file loaded last
// (<path>/<prefix>_<language id>.lng); without a loaded file, or for an id the file lacks,
// the default is returned. Texts are UTF-8.
#ifndef KEYMGR_MULTILANG_MULTILANG_H
#define KEYMGR_MULTILANG_MULTILANG_H

#include "inifile.h"

#include <string>

namespace tessel {

// Language ids, used to name the language files.
enum : unsigned long { kLangSimplifiedChinese = 2052, kLangTraditionalChinese = 1028, kLangEnglish = 1033 };

class MultiLanguage {
public:
    MultiLanguage();
    virtual ~MultiLanguage();
    MultiLanguage(const MultiLanguage&) = delete;
    MultiLanguage& operator=(const MultiLanguage&) = delete;

    void SetPath(const std::string& path);
    void SetPrefix(const std::string& prefix);
    // Stores id as the code page and loads <path>/<prefix>_<id>.lng.
    bool SetCodePage(unsigned long id);

    bool Load(const std::string& prefix, unsigned long id);
    bool Load(const std::string& fileName);
    bool LoadData(const char* text);
    // Lazy first load, run at most once by the lookups and accessors.
    bool Initialize();

    std::string GetString(const std::string& key, const std::string& defaultText);
    std::string GetString(unsigned long id, const std::string& defaultText);
    // The text converted with strtol (base 10); defaultValue when absent.
    unsigned long GetNumber(const std::string& key, unsigned long defaultValue);
    unsigned long GetNumber(unsigned long id, unsigned long defaultValue);

    const std::string& GetPath() const { return m_path; }
    const std::string& GetPrefix() const { return m_prefix; }
    unsigned long GetCodePage() const { return m_codePage; }
    const std::string& GetLanguageName() const { return m_languageName; }
    const std::string& GetFontFaceName() const { return m_fontFaceName; }
    unsigned long GetFontHeight() const { return m_fontHeight; }
    bool IsInitialized() const { return m_bInitialized; }
    bool IsLoaded() const { return m_bLoaded; }
    bool UseDefaults() const { return m_bUseDefaults; }

private:
    bool _UseSection(const std::string& name);
    bool _PostLoad();
    void resetToDefaults();
    bool finishLoad(bool read);

    IniFile m_iniFile;
    IniSection* m_pCurSection = nullptr;
    bool m_bUseDefaults = true;
    bool m_bInitialized = false;
    bool m_bLoaded = false;
    std::string m_path;
    std::string m_prefix;
    unsigned long m_codePage = 0x1FFFFFFF; // never set
    std::string m_languageName = "English";
    unsigned long m_fontHeight = 8;
    std::string m_fontFaceName = "Tahoma";
};

// The process-wide catalogue, created on first use. Null once it has been destroyed at exit;
// every function below then answers with its defaults.
MultiLanguage* ml_getInstance();

void ml_setPath(const std::string& path);
void ml_setPrefix(const std::string& prefix);
bool ml_setCodePage(unsigned long id);
bool ml_load(const std::string& fileName);
bool ml_loadData(const char* text);

unsigned long ml_getCodePage();
std::string ml_getLanguageName();
std::string ml_getFontFaceName();
unsigned long ml_getFontHeight();

// The folder the application's language files are installed in, and their name prefix.
std::string ml_defaultPath();
std::string ml_defaultPrefix();

std::string __(unsigned long id, const char* defaultText);
std::string ___(const std::string& key, const char* defaultText);

// True when `text` carries exactly the printf conversions of `defaultFormat`, in order, each
// with the same length modifier and conversion, at most the flags "-+ 0" and a width and
// precision of at most two digits each, and no other '%' at all ("%%" included).
bool ml_formatMatches(const std::string& text, const char* defaultFormat);

// The text of id when it passes ml_formatMatches against defaultFormat, else defaultFormat.
// Use it for every looked-up text that is passed to printf as a format.
std::string ml_safeFormat(int id, const char* defaultFormat);

// The checked text of id (ml_safeFormat) formatted with one integer argument, passed as the
// type its length modifier names: int for none, "h" or "hh"; long for "l"; long long for "ll".
// A default without exactly one such integer conversion (d, i, u, o, x, X) is returned
// unformatted.
std::string ml_formatNumber(int id, const char* defaultFormat, long long value);

} // namespace tessel

using tessel::ml_formatNumber;
using tessel::ml_safeFormat;

// Wrappers the application uses; they hand over text only up to its first NUL.
void wx_ml_setPath(const std::string& path);
void wx_ml_setPrefix(const std::string& prefix);
bool wx_ml_setCodePage(unsigned long id);
std::string __(unsigned long id, const char* defaultText);
std::string ___(const std::string& key, const char* defaultText);
// 2052 for a LANG starting "zh_CN." or "zh_cn.", 1028 for "zh_TW." or "zh_tw.", else 1033
// (also when LANG is unset).
int wx_getSysLanguage();

#endif
