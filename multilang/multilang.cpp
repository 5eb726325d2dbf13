#include "multilang.h"

#include "keymgr_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace tessel {

namespace {

constexpr unsigned long kCodePageNeverSet = 0x1FFFFFFF;
constexpr unsigned long kNumberMissing = 0xFFFFFFFF;
const char kDefaultLanguageName[] = "English";
const char kDefaultFontFace[] = "Tahoma";
constexpr unsigned long kDefaultFontHeight = 8;

// Set when the process-wide catalogue is destroyed at exit, so that lookups made later
// (from other objects' destructors) answer with their defaults instead of touching it.
bool g_catalogueDestroyed = false;

struct Catalogue {
    MultiLanguage instance;
    ~Catalogue() { g_catalogueDestroyed = true; }
};

// The working directory at any length: the buffer grows until getcwd fits.
bool currentDirectory(std::string& out)
{
    std::vector<char> buf(512);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE || buf.size() > (1u << 20))
            return false;
        buf.resize(buf.size() * 2);
    }
    out = buf.data();
    return true;
}

std::string cutAtNul(const std::string& s)
{
    return std::string(s.c_str());
}

MultiLanguage* initializedInstance()
{
    MultiLanguage* ml = ml_getInstance();
    if (ml && !ml->IsInitialized() && !ml->IsLoaded())
        ml->Initialize();
    return ml;
}

} // namespace

MultiLanguage::MultiLanguage() = default;

MultiLanguage::~MultiLanguage()
{
    m_bInitialized = true;
    m_bUseDefaults = true;
    m_pCurSection = nullptr;
}

void MultiLanguage::SetPath(const std::string& path)
{
    m_path = path;
}

void MultiLanguage::SetPrefix(const std::string& prefix)
{
    m_prefix = prefix;
}

bool MultiLanguage::SetCodePage(unsigned long id)
{
    m_codePage = id;
    return Load(m_prefix, id);
}

void MultiLanguage::resetToDefaults()
{
    m_bLoaded = false;
    m_pCurSection = nullptr;
    m_codePage = kLangEnglish;
    m_languageName = kDefaultLanguageName;
    // The font belongs to the file that set it: without a file the defaults apply again.
    m_fontFaceName = kDefaultFontFace;
    m_fontHeight = kDefaultFontHeight;
    m_bUseDefaults = true;
}

bool MultiLanguage::Load(const std::string& prefix, unsigned long id)
{
    resetToDefaults();
    if (m_path.empty())
        return false;
    std::string fileName = m_path;
    if (m_path.back() != '\\')
        fileName += '/';
    fileName += prefix + "_" + std::to_string(id) + ".lng";
    return Load(fileName);
}

bool MultiLanguage::finishLoad(bool read)
{
    if (read && _PostLoad()) {
        m_bUseDefaults = false;
        m_bLoaded = true;
        return true;
    }
    resetToDefaults();
    return false;
}

bool MultiLanguage::Load(const std::string& fileName)
{
    resetToDefaults();
    return finishLoad(m_iniFile.Load(fileName));
}

bool MultiLanguage::LoadData(const char* text)
{
    resetToDefaults();
    if (!finishLoad(m_iniFile.Load(text)))
        return false;
    m_bInitialized = true;
    return true;
}

bool MultiLanguage::_UseSection(const std::string& name)
{
    m_pCurSection = m_iniFile.GetSection(name);
    return m_pCurSection != nullptr;
}

bool MultiLanguage::_PostLoad()
{
    m_bLoaded = true;
    bool ok = false;
    if (_UseSection("settings")) {
        m_codePage = GetNumber("CodePage", kNumberMissing);
        std::string language = GetString("Language", kIniMissingValue);
        if (m_codePage != kNumberMissing && language != kIniMissingValue) {
            m_languageName = language;
            std::string face = GetString("FontFace", kIniMissingValue);
            m_fontFaceName = face == kIniMissingValue ? kDefaultFontFace : face;
            unsigned long height = GetNumber("FontHeight", kNumberMissing);
            m_fontHeight = height == kNumberMissing ? kDefaultFontHeight : height;
            ok = _UseSection("strings");
        }
    }
    if (!ok) {
        m_bLoaded = false;
        m_pCurSection = nullptr;
    }
    return ok;
}

bool MultiLanguage::Initialize()
{
    m_pCurSection = nullptr;
    m_bUseDefaults = true;
    m_bInitialized = true;
    if (m_path.empty() || m_prefix.empty()) {
        // Derive the missing parts from a working directory of the form <path>\<prefix>[.ext].
        std::string cwd;
        if (!currentDirectory(cwd))
            return false;
        std::string::size_type slash = cwd.rfind('\\');
        if (slash == std::string::npos)
            return false;
        if (m_path.empty())
            m_path = cwd.substr(0, slash);
        if (m_prefix.empty()) {
            std::string name = cwd.substr(slash + 1);
            std::string::size_type dot = name.rfind('.');
            if (dot != std::string::npos)
                name.erase(dot);
            m_prefix = name;
        }
        if (m_path.empty() || m_prefix.empty())
            return false;
    }
    if (m_codePage == kCodePageNeverSet)
        return false;
    return Load(m_prefix, m_codePage);
}

std::string MultiLanguage::GetString(const std::string& key, const std::string& defaultText)
{
    if (!m_bLoaded || !m_pCurSection)
        return defaultText;
    std::string text = m_pCurSection->GetString(key);
    return text == kIniMissingValue ? defaultText : text;
}

std::string MultiLanguage::GetString(unsigned long id, const std::string& defaultText)
{
    return GetString(std::to_string(id), defaultText);
}

unsigned long MultiLanguage::GetNumber(const std::string& key, unsigned long defaultValue)
{
    if (!m_bLoaded || !m_pCurSection)
        return defaultValue;
    std::string text = m_pCurSection->GetString(key);
    if (text == kIniMissingValue)
        return defaultValue;
    return static_cast<unsigned long>(std::strtol(text.c_str(), nullptr, 10));
}

unsigned long MultiLanguage::GetNumber(unsigned long id, unsigned long defaultValue)
{
    return GetNumber(std::to_string(id), defaultValue);
}

MultiLanguage* ml_getInstance()
{
    if (g_catalogueDestroyed)
        return nullptr;
    static Catalogue catalogue;
    return &catalogue.instance;
}

void ml_setPath(const std::string& path)
{
    if (MultiLanguage* ml = ml_getInstance())
        ml->SetPath(path);
}

void ml_setPrefix(const std::string& prefix)
{
    if (MultiLanguage* ml = ml_getInstance())
        ml->SetPrefix(prefix);
}

bool ml_setCodePage(unsigned long id)
{
    MultiLanguage* ml = ml_getInstance();
    return ml && ml->SetCodePage(id);
}

bool ml_load(const std::string& fileName)
{
    MultiLanguage* ml = ml_getInstance();
    return ml && ml->Load(fileName);
}

bool ml_loadData(const char* text)
{
    MultiLanguage* ml = ml_getInstance();
    return ml && ml->LoadData(text);
}

unsigned long ml_getCodePage()
{
    MultiLanguage* ml = initializedInstance();
    return ml ? ml->GetCodePage() : kLangEnglish;
}

std::string ml_getLanguageName()
{
    MultiLanguage* ml = initializedInstance();
    return ml ? ml->GetLanguageName() : kDefaultLanguageName;
}

std::string ml_getFontFaceName()
{
    MultiLanguage* ml = initializedInstance();
    return ml ? ml->GetFontFaceName() : kDefaultFontFace;
}

unsigned long ml_getFontHeight()
{
    MultiLanguage* ml = initializedInstance();
    return ml ? ml->GetFontHeight() : kDefaultFontHeight;
}

std::string ml_defaultPath()
{
    return KEYMGR_LANG_DIR;
}

std::string ml_defaultPrefix()
{
    return "olvane";
}

std::string __(unsigned long id, const char* defaultText)
{
    const char* fallback = defaultText ? defaultText : "";
    MultiLanguage* ml = initializedInstance();
    if (!ml || ml->UseDefaults())
        return fallback;
    return ml->GetString(id, fallback);
}

std::string ___(const std::string& key, const char* defaultText)
{
    const char* fallback = defaultText ? defaultText : "";
    MultiLanguage* ml = initializedInstance();
    if (!ml || ml->UseDefaults())
        return fallback;
    return ml->GetString(key, fallback);
}

} // namespace tessel

void wx_ml_setPath(const std::string& path)
{
    tessel::ml_setPath(tessel::cutAtNul(path));
}

void wx_ml_setPrefix(const std::string& prefix)
{
    tessel::ml_setPrefix(tessel::cutAtNul(prefix));
}

bool wx_ml_setCodePage(unsigned long id)
{
    return tessel::ml_setCodePage(id);
}

std::string __(unsigned long id, const char* defaultText)
{
    return tessel::cutAtNul(tessel::__(id, defaultText));
}

std::string ___(const std::string& key, const char* defaultText)
{
    return tessel::cutAtNul(tessel::___(key, defaultText));
}

int wx_getSysLanguage()
{
    const char* lang = std::getenv("LANG");
    if (!lang)
        return tessel::kLangEnglish;
    if (std::strncmp(lang, "zh_CN.", 6) == 0 || std::strncmp(lang, "zh_cn.", 6) == 0)
        return tessel::kLangSimplifiedChinese;
    if (std::strncmp(lang, "zh_TW.", 6) == 0 || std::strncmp(lang, "zh_tw.", 6) == 0)
        return tessel::kLangTraditionalChinese;
    return tessel::kLangEnglish;
}
