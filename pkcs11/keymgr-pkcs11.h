/* keymgr-pkcs11.h: the vendor-defined mechanisms of keymgr-pkcs11.so, the PKCS#11 module over the
 * bank token's SKF library. Include it after a PKCS#11 header (p11-kit/pkcs11.h or the standard's
 * pkcs11.h).
 *
 * SM2 keys appear as CKK_EC keys whose CKA_EC_PARAMS is the DER object identifier of the SM2 curve,
 * 1.2.156.10197.1.301 (06 08 2A 81 1C CF 55 01 82 2D). They sign with these two mechanisms; both
 * return the signature as r || s, 32 bytes each, big-endian (as CKM_ECDSA does).
 */
#ifndef KEYMGR_PKCS11_H
#define KEYMGR_PKCS11_H

/* SM2 signature of a digest the caller prepared: the data is e, the 32-byte SM3 value of Z || M
 * (GM/T 0003.2). No parameter. Single-part, or multi-part as long as the parts add up to 32 bytes. */
#define CKM_KEYMGR_SM2 (CKM_VENDOR_DEFINED | 0x4B4D0001UL)

/* SM2 signature with SM3 of a message: the module computes Z from the signer ID and the key's public
 * point, then e = SM3(Z || M), and has the token sign e. The optional parameter is the signer ID
 * (1 to 8191 bytes); without one the ID is "1234567812345678" (GM/T 0009). Single-part and
 * multi-part. */
#define CKM_KEYMGR_SM3_SM2 (CKM_VENDOR_DEFINED | 0x4B4D0002UL)

#endif
