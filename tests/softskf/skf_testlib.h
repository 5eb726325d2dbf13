// Loads an SKF library for the softskf tests and offers the call sequences they share.
#ifndef KEYMGR_TESTS_SKF_TESTLIB_H
#define KEYMGR_TESTS_SKF_TESTLIB_H

#include "skf_defs.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

struct SkfTestLib
{
#define SKF_TESTLIB_MEMBER(name) PFN_##name name = nullptr;
    SKF_CALL_TABLE(SKF_TESTLIB_MEMBER)
    SKF_TESTLIB_MEMBER(SKF_LockDev)
    SKF_TESTLIB_MEMBER(SKF_UnlockDev)
#undef SKF_TESTLIB_MEMBER
    ULONG (*SKF_GenRSAKeyPair)(HCONTAINER, ULONG, RSAPUBLICKEYBLOB*) = nullptr;

    void* handle = nullptr;
    QStringList missing;

    // Opens the library (path, else $SOFTSKF_LIB) and binds every name; false if it cannot be opened.
    bool load(const QString& path = QString());

    // A name list fetched with the two-call protocol; *rc gets the result of the failing call.
    QByteArray fetchList(const std::function<ULONG(LPSTR, ULONG*)>& call, ULONG* rc = nullptr) const;
    DEVHANDLE connect(const QByteArray& name) const;
    HAPPLICATION openApp(DEVHANDLE dev, const QByteArray& name = "ORVANE-PKIAPP") const;
    HCONTAINER openContainer(HAPPLICATION app, const QByteArray& name) const;
    // The standard device authentication through the token's own cipher: randomLen random bytes,
    // zero padded to 16, SM4-ECB under key, optionally with PKCS#5 padding (32 bytes).
    ULONG devAuth(DEVHANDLE dev, const QByteArray& key, ULONG randomLen = 8, bool pkcs5 = false) const;
    QByteArray exportCert(HCONTAINER container, bool sign, ULONG* rc = nullptr) const;
    QByteArray exportPublicKey(HCONTAINER container, bool sign, ULONG* rc = nullptr) const;
    // VerifyPIN with the user PIN "12345678".
    bool loginUser(HAPPLICATION app) const;
};

// The standard SM2 signer ID.
extern const QByteArray kSm2Id;
// SM3(Z || message): what an SM2 signer signs, Z made from the signer ID and the public key
// (X and Y, 32 bytes each).
QByteArray sm2Digest(const QByteArray& x, const QByteArray& y, const QByteArray& message,
                     const QByteArray& id = kSm2Id);
// Whether the certificate's key verifies signature over message: SM2 (DER) with SM3 and the
// signer ID, RSA with SHA-256 and PKCS#1 v1.5.
bool opensslVerifies(const QByteArray& certDer, const QByteArray& message, const QByteArray& signature,
                     const QByteArray& id = kSm2Id);
// The DER form of the r and s of an ECCSIGNATUREBLOB.
QByteArray eccSignatureDer(const ECCSIGNATUREBLOB& blob);

// Child mode of a test program: with "--child COMMAND ..." it acts as a second process using the
// library and returns its exit status; otherwise it returns -1. Commands: "info TOKEN" prints
// "label=<label> user=<remaining>/<max>"; "enumdev N" calls SKF_EnumDev N times and prints "ok";
// "wait N" prints "ready", then waits for N events and prints "<code> <name>" for each.
int runSkfChild(int argc, char** argv);
// main() of a test program that can also run as such a child.
#define SKF_TEST_MAIN(TestClass)                                                                                       \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        const int child = runSkfChild(argc, argv);                                                                     \
        if (child >= 0)                                                                                                \
            return child;                                                                                              \
        QCoreApplication app(argc, argv);                                                                              \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
// Runs this test program in child mode and returns its trimmed standard output.
QString runSkfChildProcess(const QStringList& args);

// Splits a multi-string name list into its names.
QStringList splitNameList(const QByteArray& list);

// X and Y (32 bytes each) of an SM2 certificate's key, or the modulus and exponent of an RSA one.
bool certificateKey(const QByteArray& der, QByteArray* first, QByteArray* second, bool* rsa);

// SM4-ECB without padding through OpenSSL, for checks against the token.
QByteArray sm4EcbEncrypt(const QByteArray& key, const QByteArray& data);

#endif
