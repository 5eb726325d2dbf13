#include "hostile.h"

#include <cstring>

namespace softskf {

const HostileMode kHostileModes[] = {
    {"growing-list", 0,
     "every name list (devices, applications, containers) gains one more name between the size call and "
     "the fetch, so the fetch answers SAR_BUFFER_TOO_SMALL with the new size"},
    {"list-no-terminator", 0, "name lists lack the empty name that ends them (\"A\\0B\\0\", size 4)"},
    {"list-unterminated-name", 0, "name lists end inside the last name, without any zero byte (\"A\\0B\", size 3)"},
    {"empty-list-two-nuls", 0, "an empty name list is reported as two zero bytes instead of one"},
    {"size-overstated", 0,
     "a filled name list, certificate or public key blob is reported 64 bytes larger than the buffer given"},
    {"devinfo-unterminated", 0,
     "SKF_GetDevInfo fills every text field of the 294-byte record to its full width with no zero byte "
     "(the value, then '*' up to the width)"},
    {"long-cert", 70000,
     "SKF_ExportCertificate returns the certificate re-encoded with a padding extension to at least N bytes "
     "(default 70000)"},
    {"rsa-bitlen", 4096, "SKF_ExportPublicKey reports BitLen N (default 4096) in RSA public key blobs"},
};
const int kHostileModeCount = sizeof(kHostileModes) / sizeof(kHostileModes[0]);

const HostileMode* findHostileMode(const char* name)
{
    for (const HostileMode& m : kHostileModes) {
        if (std::strcmp(m.name, name) == 0)
            return &m;
    }
    return nullptr;
}

} // namespace softskf
