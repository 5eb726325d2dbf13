// OpenSSL work of softskf: PIN hashes, key pairs and their public key blobs, certificates,
// SM4 for device authentication.
#ifndef SOFTSKF_CRYPTO_H
#define SOFTSKF_CRYPTO_H

#include "model.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace softskf {

// The signer ID that SM2 signatures hash into their Z value unless another is agreed.
constexpr char kSm2DefaultId[] = "1234567812345678";

std::string randomBytes(size_t count);

Pin makePin(const std::string& pin, uint32_t retries, bool isDefault);
// Replaces the PIN value, keeping the retry limit; clears the factory-default flag.
void setPinValue(Pin* pin, const std::string& value);
bool pinMatches(const Pin& pin, const std::string& candidate);

// kind: "rsa1024", "rsa2048" or "sm2". Returns a DER private key, empty on failure.
std::string generateKeyPair(const std::string& kind);
bool isRsaKey(const std::string& keyDer);
int keyBits(const std::string& keyDer);

// The standard's RSAPUBLICKEYBLOB (268 bytes) or ECCPUBLICKEYBLOB (132 bytes) of a key pair.
// reportedBits, when non-zero, replaces the bit length written into an RSA blob.
std::string publicKeyBlob(const std::string& keyDer, uint32_t reportedBits = 0);

struct CertRequest
{
    std::string keyDer; // the subject's key pair
    std::string commonName;
    time_t notAfter = 0;
    bool signature = true; // key usage of a signature or an encryption certificate
    bool selfSigned = false;
};
// Issues an X.509 v3 DER certificate, by the store's CA for the key's algorithm (created in
// caDir on first use; the caller holds the store lock) or self-signed.
bool issueCertificate(const std::string& caDir, const CertRequest& request, std::string* der, std::string* error);
// Parses "YYYYMMDDHHMMSSZ" or "YYMMDDHHMMSSZ".
bool parseAsn1Time(const std::string& text, time_t* out);

// Re-encodes a certificate with a padding extension so that it is at least minSize bytes long,
// signed again with keyDer (or a throwaway key when empty). Used by the long-cert hostile mode.
bool enlargeCertificate(const std::string& der, const std::string& keyDer, size_t minSize, std::string* out);

// SM2 signature of a 32-byte digest (the caller has hashed the Z value and the message) as a
// 128-byte ECCSIGNATUREBLOB; empty on failure.
std::string eccSignDigest(const std::string& keyDer, const std::string& digest);
// PKCS#1 v1.5 signature (block type 1) of data with an RSA key; empty on failure.
std::string rsaSignData(const std::string& keyDer, const std::string& data);
// Verification against a public key blob: 1 valid, 0 invalid signature, -1 unusable key blob.
int eccVerifyDigest(const std::string& publicBlob, const std::string& digest, const std::string& signatureBlob);
int rsaVerifyData(const std::string& publicBlob, const std::string& data, const std::string& signature);

// SM4 in ECB or CBC mode (alg is SGD_SM4_ECB or SGD_SM4_CBC), with PKCS#5 padding or none.
bool sm4Crypt(uint32_t alg, const std::string& key, const std::string& iv, bool encrypt, bool padding,
              const std::string& in, std::string* out);

} // namespace softskf

#endif
