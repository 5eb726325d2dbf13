// SKF result codes as PKCS#11 return values.
#ifndef KEYMGR_PKCS11_RESULTS_H
#define KEYMGR_PKCS11_RESULTS_H

#include "pkcs11_defs.h"
#include "skf_defs.h"

namespace p11 {

// The PKCS#11 value for an SKF result; codes outside the table are device errors.
CK_RV ckrFromSar(ULONG sar);

// Results that speak of the PIN or the login and never of the token's presence.
bool isCredentialResult(ULONG sar);

} // namespace p11

#endif
