#include "functions.h"

#include <strings.h>

namespace softskf {

namespace {
#define SOFTSKF_FN_NAME(name) #name,
const char* const kNames[] = {SKF_CALL_TABLE(SOFTSKF_FN_NAME) "SKF_LockDev", "SKF_UnlockDev", "SKF_GenRSAKeyPair"};
#undef SOFTSKF_FN_NAME
static_assert(sizeof(kNames) / sizeof(kNames[0]) == kFunctionCount, "one name per function");
} // namespace

const char* functionName(int index)
{
    return index >= 0 && index < kFunctionCount ? kNames[index] : "";
}

int functionIndex(const std::string& name)
{
    for (int i = 0; i < kFunctionCount; ++i) {
        if (strcasecmp(kNames[i], name.c_str()) == 0 || strcasecmp(kNames[i] + 4, name.c_str()) == 0)
            return i;
    }
    return -1;
}

} // namespace softskf
