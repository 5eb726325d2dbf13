// The exported functions of softskf, as indices for counters, faults and latency.
#ifndef SOFTSKF_FUNCTIONS_H
#define SOFTSKF_FUNCTIONS_H

#include "skf_defs.h"

#include <string>

namespace softskf {

#define SOFTSKF_FN_ENUM(name) name,
enum class Fn : int { SKF_CALL_TABLE(SOFTSKF_FN_ENUM) SKF_LockDev, SKF_UnlockDev, SKF_GenRSAKeyPair, Count };
#undef SOFTSKF_FN_ENUM

// Exported beyond the names the program binds.
extern "C" ULONG SKF_GenRSAKeyPair(HCONTAINER hContainer, ULONG ulBitsLen, RSAPUBLICKEYBLOB* pBlob);

constexpr int kFunctionCount = static_cast<int>(Fn::Count);

const char* functionName(int index);
// Accepts "SKF_EnumDev" or "EnumDev", in any letter case; -1 when unknown.
int functionIndex(const std::string& name);

} // namespace softskf

#endif
