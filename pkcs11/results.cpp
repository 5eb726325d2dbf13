#include "results.h"

namespace p11 {

namespace {

struct ResultMapping
{
    ULONG sar;
    CK_RV ckr;
};

// The module sizes every buffer it hands the library itself, so a library asking for more, or
// refusing its own handle, is a device fault rather than something the caller could fix.
// clang-format off
constexpr ResultMapping kResults[] = {
    {SAR_OK,                        CKR_OK},
    {SAR_FAIL,                      CKR_FUNCTION_FAILED},
    {SAR_UNKNOWNERR,                CKR_DEVICE_ERROR},
    {SAR_NOTSUPPORTYETERR,          CKR_FUNCTION_FAILED},
    {SAR_FILEERR,                   CKR_DEVICE_ERROR},
    {SAR_INVALIDHANDLEERR,          CKR_DEVICE_ERROR},
    {SAR_INVALIDPARAMERR,           CKR_ARGUMENTS_BAD},
    {SAR_READFILEERR,               CKR_DEVICE_ERROR},
    {SAR_WRITEFILEERR,              CKR_DEVICE_ERROR},
    {SAR_NAMELENERR,                CKR_ARGUMENTS_BAD},
    {SAR_KEYUSAGEERR,               CKR_KEY_FUNCTION_NOT_PERMITTED},
    {SAR_MODULUSLENERR,             CKR_KEY_SIZE_RANGE},
    {SAR_NOTINITIALIZEERR,          CKR_TOKEN_NOT_RECOGNIZED},
    {SAR_OBJERR,                    CKR_DEVICE_ERROR},
    {SAR_MEMORYERR,                 CKR_DEVICE_MEMORY},
    {SAR_TIMEOUTERR,                CKR_DEVICE_ERROR},
    {SAR_INDATALENERR,              CKR_DATA_LEN_RANGE},
    {SAR_INDATAERR,                 CKR_DATA_INVALID},
    {SAR_GENRANDERR,                CKR_DEVICE_ERROR},
    {SAR_HASHOBJERR,                CKR_FUNCTION_FAILED},
    {SAR_HASHERR,                   CKR_FUNCTION_FAILED},
    {SAR_GENRSAKEYERR,              CKR_FUNCTION_FAILED},
    {SAR_RSAMODULUSLENERR,          CKR_KEY_SIZE_RANGE},
    {SAR_CSPIMPRTPUBKEYERR,         CKR_FUNCTION_FAILED},
    {SAR_RSAENCERR,                 CKR_FUNCTION_FAILED},
    {SAR_RSADECERR,                 CKR_FUNCTION_FAILED},
    {SAR_HASHNOTEQUALERR,           CKR_SIGNATURE_INVALID},
    {SAR_KEYNOTFOUNTERR,            CKR_KEY_HANDLE_INVALID},
    {SAR_CERTNOTFOUNTERR,           CKR_OBJECT_HANDLE_INVALID},
    {SAR_NOTEXPORTERR,              CKR_KEY_UNEXTRACTABLE},
    {SAR_DECRYPTPADERR,             CKR_ENCRYPTED_DATA_INVALID},
    {SAR_MACLENERR,                 CKR_FUNCTION_FAILED},
    {SAR_BUFFER_TOO_SMALL,          CKR_DEVICE_ERROR},
    {SAR_KEYINFOTYPEERR,            CKR_KEY_TYPE_INCONSISTENT},
    {SAR_NOT_EVENTERR,              CKR_NO_EVENT},
    {SAR_DEVICE_REMOVED,            CKR_DEVICE_REMOVED},
    {SAR_PIN_INCORRECT,             CKR_PIN_INCORRECT},
    {SAR_PIN_LOCKED,                CKR_PIN_LOCKED},
    {SAR_PIN_INVALID,               CKR_PIN_INVALID},
    {SAR_PIN_LEN_RANGE,             CKR_PIN_LEN_RANGE},
    {SAR_USER_ALREADY_LOGGED_IN,    CKR_USER_ALREADY_LOGGED_IN},
    {SAR_USER_PIN_NOT_INITIALIZED,  CKR_USER_PIN_NOT_INITIALIZED},
    {SAR_USER_TYPE_INVALID,         CKR_USER_TYPE_INVALID},
    {SAR_APPLICATION_NAME_INVALID,  CKR_TOKEN_NOT_RECOGNIZED},
    {SAR_APPLICATION_EXISTS,        CKR_FUNCTION_FAILED},
    {SAR_USER_NOT_LOGGED_IN,        CKR_USER_NOT_LOGGED_IN},
    {SAR_APPLICATION_NOT_EXISTS,    CKR_TOKEN_NOT_RECOGNIZED},
    {SAR_FILE_ALREADY_EXIST,        CKR_FUNCTION_FAILED},
    {SAR_NO_ROOM,                   CKR_DEVICE_MEMORY},
    {SAR_FILE_NOT_EXIST,            CKR_DEVICE_ERROR},
    {SAR_REACH_MAX_CONTAINER_COUNT, CKR_DEVICE_MEMORY},
    // The library lacks the function the call needs.
    {SKF_NOT_BOUND,                 CKR_FUNCTION_FAILED},
};
// clang-format on

} // namespace

CK_RV ckrFromSar(ULONG sar)
{
    for (const ResultMapping& m : kResults) {
        if (m.sar == sar)
            return m.ckr;
    }
    return CKR_DEVICE_ERROR;
}

bool isCredentialResult(ULONG sar)
{
    switch (sar) {
    case SAR_PIN_INCORRECT:
    case SAR_PIN_LOCKED:
    case SAR_PIN_INVALID:
    case SAR_PIN_LEN_RANGE:
    case SAR_USER_NOT_LOGGED_IN:
    case SAR_USER_ALREADY_LOGGED_IN:
    case SAR_USER_PIN_NOT_INITIALIZED:
        return true;
    default:
        return false;
    }
}

} // namespace p11
