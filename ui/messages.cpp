#include "messages.h"

namespace messages {

const char kTextRuleHint[] = "密码设置规则:6-16位字母+数字，示例:kv3939";
const char kTextConfirmError[] = "Error in confirming the RUZ-Ururov password entry";
const char kTextSameAsOld[] = "The old and new RUZ-Ururov passwords are the same";
const char kTextTooShort[] = "The password entered is not long enough";

namespace {

constexpr Buttons OkOnly = Buttons::OkOnly;
constexpr Buttons CancelContinue = Buttons::CancelContinue;
constexpr Buttons ChangeForm = Buttons::ChangeForm;

const TitleEntry kTitles[] = {
    {9001, 32030, "Change Label"},     {9002, 32032, "Verify PIN"},         {9003, 32031, "Change PIN"},
    {9004, 32029, "Unblock PIN"},      {9005, 32036, "Import Certificate"}, {9006, 32037, "Export Certificate"},
    {9007, 32038, "View Certificate"}, {9008, 32039, "Delete Container"},   {9009, 32040, "Change DevAuthKey"},
    {9010, 32028, "Initialize"},       {9013, 32056, "清除垃圾文件"},
};
const TitleEntry kDefaultTitle = {0, 30071, "U Key"};

const ModeEntry kModes[] = {
    {2000, 30037, "Successfully verify the RUZ-Ururov password", OkOnly},
    {2001, 30041, "Successfully change the RUZ-Ururov password", OkOnly},
    {2002, 30078, kTextTooShort, CancelContinue},
    {2003, 30073, "The password does not contain any combination of numbers and letters", CancelContinue},
    {2004, 30077,
     "The password contains consecutive repeated letters or numbers. you may disregard this message to continue",
     CancelContinue},
    {2005, 30038, kTextConfirmError, OkOnly},
    {2006, 30069, kTextSameAsOld, OkOnly},
    {2007, 30039, "RUZ-Ururov password locked", OkOnly},
    {2008, 30044, "RUZ-Ururov change passwd cancel", OkOnly},
    {2009, 30040, "Failure in verifying RUZ-Ururov password %d", OkOnly},
    {2024, 30045, "RUZ-Ururov unblock success", OkOnly},
    {2025, 30046, "RUZ-Ururov unblock fail", OkOnly},
    {2026, 30047, "RUZ-Ururov initialize success", OkOnly},
    {2027, 30048, "RUZ-Ururov initialize fail", OkOnly},
    {2028, 32041, "Please modify the device authentication key first", OkOnly},
    {2029, 32045, "You are initializing Ukey, which will clear all data on Ukey. Do you want to continue?",
     CancelContinue},
    {2030, 32049, "It is detected that the pin is the default pin. Click \"continue\" to modify", CancelContinue},
    {2031, 0, "", ChangeForm},
    {2032, 32050, kTextRuleHint, OkOnly},
    {2033, 32051,
     "Sorry, please don't use the combination of simple letter string and simple number string to set the password",
     OkOnly},
    {2034, 0, "", ChangeForm},
    {3000, 30036, "U Shield name is too long, please re-enter within 30 characters in length U Shield new name",
     OkOnly},
    {3001, 30042, "Device label changed successfully", OkOnly},
    {4000, 30065, "Please select a cert", OkOnly},
    {4001, 31001, "It will be deleted!\r\nPlease make sure you want to continue this operation", CancelContinue},
    {5000, 31000, "Object successfully deleted", OkOnly},
    {6001, 30053, "device auth failed", OkOnly},
    {6002, 30050, "Change device auth key success", OkOnly},
    {6003, 30051, "Change device auth key fail", OkOnly},
    {6004, 30052, "Device auth key length error", OkOnly},
    {6005, 30054, "The new key does not match the old key", OkOnly},
    {7000, 30043, "Operation failed", OkOnly},
    {8000, 31002, "please select a cert.", OkOnly},
    {8001, 31003, "import cert success.", OkOnly},
    {8002, 31004, "export cert success.", OkOnly},
    {8003, 31005, "cert not existes.", OkOnly},
    {8004, 31006, "import cert failed.", OkOnly},
    {8005, 31007, "export cert failed.", OkOnly},
    {9011, 32057, "清除垃圾文件成功", OkOnly},
    {9012, 32058, "清除垃圾文件失败", OkOnly},
};

// Marks an action's row for every result its other rows do not name. A library answering with this
// very value gets that row as well.
constexpr ULONG kOtherResults = 0xFFFFFFFF;

struct ResultRow
{
    Action action;
    ULONG result;
    unsigned mode;
    unsigned title;
};

// Only the PIN actions tell a wrong or locked PIN apart; to every other action it is a failure like
// any other. A deleted container is told by its page, rebuilt without it, not by a message.
// clang-format off
const ResultRow kResults[] = {
    {Action::VerifyPin,         SAR_OK,            kModeVerified,     kTitleVerifyPin},
    {Action::VerifyPin,         SAR_PIN_INCORRECT, kModeWrongPin,     kTitleVerifyPin},
    {Action::VerifyPin,         SAR_PIN_LOCKED,    kModePinLocked,    kTitleVerifyPin},
    {Action::VerifyPin,         kOtherResults,     kModeFailed,       kTitleVerifyPin},
    {Action::ChangePin,         SAR_OK,            kModePinChanged,   kTitleChangePin},
    {Action::ChangePin,         SAR_PIN_INCORRECT, kModeWrongPin,     kTitleChangePin},
    {Action::ChangePin,         SAR_PIN_LOCKED,    kModePinLocked,    kTitleChangePin},
    {Action::ChangePin,         kOtherResults,     kModeFailed,       kTitleChangePin},
    {Action::ChangeLabel,       SAR_OK,            kModeLabelChanged, kTitleChangeLabel},
    {Action::ChangeLabel,       kOtherResults,     kModeFailed,       kTitleChangeLabel},
    {Action::ImportCertificate, SAR_OK,            kModeImported,     kTitleImport},
    {Action::ImportCertificate, kOtherResults,     kModeImportFailed, kTitleImport},
    {Action::ExportCertificate, SAR_OK,            kModeExported,     kTitleExport},
    {Action::ExportCertificate, kOtherResults,     kModeExportFailed, kTitleExport},
    {Action::DeleteContainer,   SAR_OK,            0,                 kTitleDelete},
    {Action::DeleteContainer,   kOtherResults,     kModeFailed,       kTitleDelete},
    {Action::ClearContainers,   SAR_OK,            kModeCleared,      kTitleClear},
    {Action::ClearContainers,   kOtherResults,     kModeClearFailed,  kTitleClear},
};
// clang-format on

} // namespace

const ModeEntry* findMode(unsigned mode)
{
    for (const ModeEntry& m : kModes) {
        if (m.mode == mode)
            return &m;
    }
    return nullptr;
}

const ModeEntry* allModes(std::size_t* count)
{
    *count = sizeof kModes / sizeof kModes[0];
    return kModes;
}

const TitleEntry& findTitle(unsigned titleId)
{
    for (const TitleEntry& t : kTitles) {
        if (t.titleId == titleId)
            return t;
    }
    return kDefaultTitle;
}

Message messageOf(unsigned mode, unsigned title)
{
    const ModeEntry* entry = findMode(mode);
    return Message{mode, title, entry ? entry->textId : 0};
}

Message resultMessage(Action action, ULONG result)
{
    const ResultRow* chosen = nullptr;
    for (const ResultRow& row : kResults) {
        if (row.action != action)
            continue;
        if (row.result == result) {
            chosen = &row;
            break;
        }
        if (row.result == kOtherResults)
            chosen = &row;
    }
    return chosen ? messageOf(chosen->mode, chosen->title) : Message{0, 0, 0};
}

Message outcomeMessage(Action action, bool done)
{
    return resultMessage(action, done ? SAR_OK : SAR_FAIL);
}

} // namespace messages
