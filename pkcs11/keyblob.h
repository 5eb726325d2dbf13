// Public keys and certificate fields from what the token hands out: SKF public key blobs and DER
// certificates. Nothing here trusts a length or a value the library or the certificate states
// beyond what was checked.
#ifndef KEYMGR_PKCS11_KEYBLOB_H
#define KEYMGR_PKCS11_KEYBLOB_H

#include "pkcs11_defs.h"

#include <string>

namespace p11 {

struct PublicKey
{
    CK_KEY_TYPE type = CKK_RSA; // CKK_RSA, or CKK_EC for an SM2 key
    std::string modulus;        // RSA: big-endian, no leading zero
    std::string exponent;       // RSA: big-endian, no leading zero
    std::string point;          // SM2: 04 || X || Y, 65 bytes, a point of the curve

    bool valid() const { return !modulus.empty() || !point.empty(); }
    std::size_t modulusBits() const;
};

struct CertificateFields
{
    std::string subject; // DER Name
    std::string issuer;  // DER Name
    std::string serial;  // DER INTEGER
    PublicKey key;       // empty when the key is neither RSA nor SM2
};

// RSAPUBLICKEYBLOB (268 bytes): BitLen 1024 to 2048 in steps of 8, the modulus right- or
// left-aligned in its field with its top bit set and zeros around it, a non-zero exponent.
bool parseRsaBlob(const unsigned char* data, std::size_t size, PublicKey* key);
// ECCPUBLICKEYBLOB (132 bytes): BitLen 256, X and Y right-aligned in their 64-byte fields, a point of
// the SM2 curve.
bool parseEccBlob(const unsigned char* data, std::size_t size, PublicKey* key);
// A DER X.509 certificate with nothing after it.
bool parseCertificate(const unsigned char* data, std::size_t size, CertificateFields* fields);

// The key pair's CKA_ID: SHA-1 of the RSA modulus or of the SM2 point, as NSS derives it.
std::string keyId(const PublicKey& key);
// CKA_EC_PARAMS of an SM2 key: the DER object identifier of the curve.
const std::string& sm2CurveOid();

} // namespace p11

#endif
