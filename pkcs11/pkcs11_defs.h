// The PKCS#11 declarations the module is written against: Debian's header from p11-kit, in the
// standard's own names, plus the module's vendor-defined mechanisms.
#ifndef KEYMGR_PKCS11_DEFS_H
#define KEYMGR_PKCS11_DEFS_H

#include <p11-kit/pkcs11.h>

#include "keymgr-pkcs11.h"

#endif
