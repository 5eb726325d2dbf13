// The PKCS#11 module through its function list, for what no client program reaches: the attribute
// rules, templates, every refusal of a signature, removals at each step, hostile library answers,
// the result table, the PIN rules next to the window's, slot events and threads.
#include "capture.h"
#include "passwordrules.h"
#include "skf_defs.h"
#include "softskf_fixture.h"
#include "text.h"

#include <p11-kit/pkcs11.h>

#include "keymgr-pkcs11.h"
#include "keymgr_config.h"

#include <QProcess>
#include <QtTest>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <dlfcn.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace {

const QByteArray kPin = "12345678";
using Template = QList<QPair<CK_ATTRIBUTE_TYPE, QByteArray>>;
using ClockSeconds = std::chrono::seconds;

QByteArray number(CK_ULONG v)
{
    return QByteArray(reinterpret_cast<const char*>(&v), sizeof v);
}

QByteArray boolean(bool v)
{
    return QByteArray(1, v ? CK_TRUE : CK_FALSE);
}

QByteArray trimmed(const unsigned char* field, int width)
{
    return QByteArray(reinterpret_cast<const char*>(field), width).trimmed();
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PkeyPtr certKey(const QByteArray& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, der.size()), X509_free);
    return PkeyPtr(cert ? X509_get_pubkey(cert.get()) : nullptr, EVP_PKEY_free);
}

// r || s as DER, then OpenSSL's verdict on the signature of the certificate's key.
bool verified(const QByteArray& certDer, CK_MECHANISM_TYPE mech, const QByteArray& data, QByteArray sig,
              const QByteArray& signerId = "1234567812345678")
{
    PkeyPtr key = certKey(certDer);
    if (!key)
        return false;
    if (mech == CKM_KEYMGR_SM2 || mech == CKM_KEYMGR_SM3_SM2) {
        if (sig.size() != 64)
            return false;
        std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> s(ECDSA_SIG_new(), ECDSA_SIG_free);
        ECDSA_SIG_set0(s.get(), BN_bin2bn(reinterpret_cast<const unsigned char*>(sig.constData()), 32, nullptr),
                       BN_bin2bn(reinterpret_cast<const unsigned char*>(sig.constData()) + 32, 32, nullptr));
        unsigned char* der = nullptr;
        const int n = i2d_ECDSA_SIG(s.get(), &der);
        sig = QByteArray(reinterpret_cast<const char*>(der), n);
        OPENSSL_free(der);
    }
    const auto* in = reinterpret_cast<const unsigned char*>(data.constData());
    const auto* signature = reinterpret_cast<const unsigned char*>(sig.constData());
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> pctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                     EVP_PKEY_CTX_free);
    if (mech == CKM_RSA_PKCS || mech == CKM_KEYMGR_SM2) {
        if (mech == CKM_KEYMGR_SM2)
            return EVP_PKEY_verify_init(pctx.get()) == 1 &&
                   EVP_PKEY_verify(pctx.get(), signature, sig.size(), in, data.size()) == 1;
        unsigned char out[512];
        size_t outLength = sizeof out;
        return EVP_PKEY_verify_recover_init(pctx.get()) == 1 &&
               EVP_PKEY_verify_recover(pctx.get(), out, &outLength, signature, sig.size()) == 1 &&
               QByteArray(reinterpret_cast<const char*>(out), int(outLength)) == data;
    }
    const EVP_MD* md = mech == CKM_SHA256_RSA_PKCS   ? EVP_sha256()
                       : mech == CKM_SHA384_RSA_PKCS ? EVP_sha384()
                       : mech == CKM_SHA512_RSA_PKCS ? EVP_sha512()
                                                     : EVP_sm3();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (mech == CKM_KEYMGR_SM3_SM2)
        EVP_PKEY_CTX_set1_id(pctx.get(), signerId.constData(), signerId.size());
    EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), signature, sig.size(), in, data.size()) == 1;
}

QByteArray rsaKeyId(const QByteArray& certDer)
{
    PkeyPtr key = certKey(certDer);
    BIGNUM* n = nullptr;
    EVP_PKEY_get_bn_param(key.get(), "n", &n);
    QByteArray modulus(BN_num_bytes(n), '\0');
    BN_bn2bin(n, reinterpret_cast<unsigned char*>(modulus.data()));
    BN_free(n);
    return QCryptographicHash::hash(modulus, QCryptographicHash::Sha1);
}

} // namespace

class TestPkcs11 : public QObject
{
    Q_OBJECT

private:
    SoftSkfFixture m_skf;
    void* m_library = nullptr;
    CK_FUNCTION_LIST* f = nullptr;
    QByteArray m_rsaCert;
    QByteArray m_sm2Cert;

    CK_FUNCTION_LIST* load(const char* path, void** handle)
    {
        *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        auto get = *handle ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(*handle, "C_GetFunctionList")) : nullptr;
        CK_FUNCTION_LIST* list = nullptr;
        return get && get(&list) == CKR_OK ? list : nullptr;
    }
    CK_SLOT_ID slot(const QByteArray& label)
    {
        CK_SLOT_ID ids[16];
        CK_ULONG count = 16;
        if (f->C_GetSlotList(CK_TRUE, ids, &count) != CKR_OK)
            return CK_UNAVAILABLE_INFORMATION;
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_TOKEN_INFO info;
            if (f->C_GetTokenInfo(ids[i], &info) == CKR_OK && trimmed(info.label, 32) == label)
                return ids[i];
        }
        return CK_UNAVAILABLE_INFORMATION;
    }
    CK_SESSION_HANDLE open(const QByteArray& label, bool login = false, CK_FLAGS rw = 0)
    {
        CK_SESSION_HANDLE s = 0;
        if (f->C_OpenSession(slot(label), CKF_SERIAL_SESSION | rw, nullptr, nullptr, &s) != CKR_OK)
            return 0;
        if (login && f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size()) != CKR_OK)
            return 0;
        return s;
    }
    QVector<CK_OBJECT_HANDLE> find(CK_SESSION_HANDLE s, const Template& t, CK_RV* rv = nullptr)
    {
        QVector<CK_ATTRIBUTE> attrs;
        for (const auto& a : t)
            attrs.append({a.first, const_cast<char*>(a.second.constData()), CK_ULONG(a.second.size())});
        QVector<CK_OBJECT_HANDLE> found(64);
        CK_ULONG count = 0;
        CK_RV r = f->C_FindObjectsInit(s, attrs.data(), attrs.size());
        if (r == CKR_OK)
            r = f->C_FindObjects(s, found.data(), found.size(), &count);
        f->C_FindObjectsFinal(s);
        if (rv)
            *rv = r;
        found.resize(int(count));
        return found;
    }
    CK_OBJECT_HANDLE object(CK_SESSION_HANDLE s, CK_OBJECT_CLASS c, const QByteArray& label)
    {
        const auto found = find(s, {{CKA_CLASS, number(c)}, {CKA_LABEL, label}});
        return found.size() == 1 ? found[0] : CK_INVALID_HANDLE;
    }
    QByteArray attribute(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type)
    {
        CK_ATTRIBUTE a = {type, nullptr, 0};
        if (f->C_GetAttributeValue(s, o, &a, 1) != CKR_OK)
            return QByteArray();
        QByteArray value(int(a.ulValueLen), '\0');
        a.pValue = value.data();
        return f->C_GetAttributeValue(s, o, &a, 1) == CKR_OK ? value : QByteArray();
    }
    // Signs data in one call, or in parts of 1000 bytes; *rv gets the first refusal.
    QByteArray sign(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type, const QByteArray& data,
                    bool parts, CK_RV* rv, const QByteArray& param = QByteArray())
    {
        CK_MECHANISM mech = {type, param.isEmpty() ? nullptr : const_cast<char*>(param.constData()),
                             CK_ULONG(param.size())};
        QByteArray sig(512, '\0');
        CK_ULONG length = sig.size();
        auto* in = reinterpret_cast<CK_BYTE_PTR>(const_cast<char*>(data.constData()));
        *rv = f->C_SignInit(s, &mech, key);
        for (int at = 0; parts && *rv == CKR_OK && at < data.size(); at += 1000)
            *rv = f->C_SignUpdate(s, in + at, CK_ULONG(qMin(1000, data.size() - at)));
        if (*rv == CKR_OK)
            *rv = parts ? f->C_SignFinal(s, reinterpret_cast<CK_BYTE_PTR>(sig.data()), &length)
                        : f->C_Sign(s, in, data.size(), reinterpret_cast<CK_BYTE_PTR>(sig.data()), &length);
        return *rv == CKR_OK ? sig.left(int(length)) : QByteArray();
    }
    void signsAgain(const QByteArray& label)
    {
        const CK_SESSION_HANDLE s = open(label, true);
        QVERIFY(s);
        CK_RV rv = CKR_OK;
        const QByteArray sig = sign(s, object(s, CKO_PRIVATE_KEY, "rsakey"), CKM_SHA256_RSA_PKCS, "again", false, &rv);
        QCOMPARE(rv, CK_RV(CKR_OK));
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "again", sig));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_skf.init());
        SoftSkfFixture::TokenSpec rsa;
        rsa.label = "RSA token";
        QVERIFY(m_skf.createToken(rsa));
        QVERIFY(m_skf.addContainer("TOKEN1", "rsakey", "rsa2048"));
        QVERIFY(m_skf.addCert("TOKEN1", "rsakey", true, "Zhang San", 365));
        QVERIFY(m_skf.addCert("TOKEN1", "rsakey", false, "Zhang San", 365));
        SoftSkfFixture::TokenSpec sm2;
        sm2.name = "TOKEN2";
        sm2.label = "SM2 token";
        QVERIFY(m_skf.createToken(sm2));
        QVERIFY(m_skf.addContainer("TOKEN2", "sm2key", "sm2"));
        QVERIFY(m_skf.addCert("TOKEN2", "sm2key", true, "Li Si", 365));
        QVERIFY(m_skf.createToken("TOKEN3", false));
        m_rsaCert = m_skf.certDer("TOKEN1", "rsakey", true);
        m_sm2Cert = m_skf.certDer("TOKEN2", "sm2key", true);
        f = load(KEYMGR_P11_MODULE, &m_library);
        QVERIFY2(f, dlerror());
    }

    void init()
    {
        QVERIFY(m_skf.clearFaults() && m_skf.hostileOff());
        QCOMPARE(f->C_Initialize(nullptr), CK_RV(CKR_OK));
    }

    void cleanup()
    {
        f->C_Finalize(nullptr);
        QVERIFY(m_skf.insert("TOKEN1") && m_skf.remove("TOKEN3") && m_skf.clearFaults());
        m_skf.setPin("TOKEN1", "user", QString::fromLatin1(kPin), 6, 6, 0);
    }

    void initArgs_data()
    {
        QTest::addColumn<CK_FLAGS>("flags");
        QTest::addColumn<int>("mutexFunctions");
        QTest::addColumn<bool>("reserved");
        QTest::addColumn<CK_RV>("expected");
        QTest::newRow("system locks") << CK_FLAGS(CKF_OS_LOCKING_OK) << 0 << false << CK_RV(CKR_OK);
        QTest::newRow("either locks") << CK_FLAGS(CKF_OS_LOCKING_OK) << 4 << false << CK_RV(CKR_OK);
        QTest::newRow("only the caller's") << CK_FLAGS(0) << 4 << false << CK_RV(CKR_CANT_LOCK);
        QTest::newRow("half a set") << CK_FLAGS(CKF_OS_LOCKING_OK) << 2 << false << CK_RV(CKR_ARGUMENTS_BAD);
        QTest::newRow("reserved pointer") << CK_FLAGS(0) << 0 << true << CK_RV(CKR_ARGUMENTS_BAD);
    }
    void initArgs()
    {
        QFETCH(CK_FLAGS, flags);
        QFETCH(int, mutexFunctions);
        QFETCH(bool, reserved);
        QFETCH(CK_RV, expected);
        QCOMPARE(f->C_Initialize(nullptr), CK_RV(CKR_CRYPTOKI_ALREADY_INITIALIZED));
        QCOMPARE(f->C_Finalize(nullptr), CK_RV(CKR_OK));
        auto fake = [](void*) -> CK_RV { return CKR_OK; };
        auto create = [](void** m) -> CK_RV { return *m = m, CKR_OK; };
        CK_C_INITIALIZE_ARGS args = {mutexFunctions > 0 ? +create : nullptr, mutexFunctions > 1 ? +fake : nullptr,
                                     mutexFunctions > 2 ? +fake : nullptr, mutexFunctions > 3 ? +fake : nullptr,
                                     flags, reserved ? &args : nullptr};
        QCOMPARE(f->C_Initialize(&args), expected);
        if (expected != CKR_OK)
            QCOMPARE(f->C_Initialize(nullptr), CK_RV(CKR_OK));
    }

    void attributeRules_data()
    {
        QTest::addColumn<CK_OBJECT_CLASS>("objectClass");
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<QVector<CK_ATTRIBUTE_TYPE>>("types");
        QTest::addColumn<QVector<int>>("buffers"); // 0 none, 1 exact, 2 one byte short
        QTest::addColumn<CK_RV>("expected");
        QTest::addColumn<QVector<bool>>("available");
        QTest::addColumn<QByteArray>("value"); // of the first entry, when given
        const QByteArray point = QByteArray("\x04\x41", 2) + [this] {
            unsigned char out[65];
            size_t n = 0;
            EVP_PKEY_get_octet_string_param(certKey(m_sm2Cert).get(), "encoded-pub-key", out, 65, &n);
            return QByteArray(reinterpret_cast<char*>(out), int(n));
        }();
        using T = QVector<CK_ATTRIBUTE_TYPE>;
        QTest::newRow("value, size asked") << CK_OBJECT_CLASS(CKO_CERTIFICATE) << QByteArray("rsakey") << T{CKA_VALUE}
                                           << QVector<int>{0} << CK_RV(CKR_OK) << QVector<bool>{true} << QByteArray();
        QTest::newRow("value, exact") << CK_OBJECT_CLASS(CKO_CERTIFICATE) << QByteArray("rsakey") << T{CKA_VALUE}
                                      << QVector<int>{1} << CK_RV(CKR_OK) << QVector<bool>{true} << m_rsaCert;
        QTest::newRow("value, one short") << CK_OBJECT_CLASS(CKO_CERTIFICATE) << QByteArray("rsakey") << T{CKA_VALUE}
                                          << QVector<int>{2} << CK_RV(CKR_BUFFER_TOO_SMALL) << QVector<bool>{false}
                                          << QByteArray();
        QTest::newRow("certificate's modulus") << CK_OBJECT_CLASS(CKO_CERTIFICATE) << QByteArray("rsakey")
                                               << T{CKA_MODULUS} << QVector<int>{0}
                                               << CK_RV(CKR_ATTRIBUTE_TYPE_INVALID) << QVector<bool>{false}
                                               << QByteArray();
        QTest::newRow("private exponent") << CK_OBJECT_CLASS(CKO_PRIVATE_KEY) << QByteArray("rsakey")
                                          << T{CKA_PRIVATE_EXPONENT} << QVector<int>{0}
                                          << CK_RV(CKR_ATTRIBUTE_SENSITIVE) << QVector<bool>{false} << QByteArray();
        QTest::newRow("every entry answered")
            << CK_OBJECT_CLASS(CKO_PRIVATE_KEY) << QByteArray("rsakey (encryption)")
            << T{CKA_SIGN, CKA_PRIME_1, CKA_EC_POINT, CKA_EXTRACTABLE} << QVector<int>{1, 0, 0, 1}
            << CK_RV(CKR_ATTRIBUTE_SENSITIVE) << QVector<bool>{true, false, false, true} << boolean(false);
        QTest::newRow("SM2 private value") << CK_OBJECT_CLASS(CKO_PRIVATE_KEY) << QByteArray("sm2key")
                                           << T{CKA_VALUE, CKA_EC_PARAMS} << QVector<int>{0, 1}
                                           << CK_RV(CKR_ATTRIBUTE_SENSITIVE) << QVector<bool>{false, true}
                                           << QByteArray();
        QTest::newRow("SM2 point") << CK_OBJECT_CLASS(CKO_PUBLIC_KEY) << QByteArray("sm2key") << T{CKA_EC_POINT}
                                   << QVector<int>{1} << CK_RV(CKR_OK) << QVector<bool>{true} << point;
        QTest::newRow("RSA key size") << CK_OBJECT_CLASS(CKO_PUBLIC_KEY) << QByteArray("rsakey")
                                      << T{CKA_MODULUS_BITS} << QVector<int>{1} << CK_RV(CKR_OK)
                                      << QVector<bool>{true} << number(2048);
    }
    void attributeRules()
    {
        QFETCH(CK_OBJECT_CLASS, objectClass);
        QFETCH(QByteArray, label);
        QFETCH(QVector<CK_ATTRIBUTE_TYPE>, types);
        QFETCH(QVector<int>, buffers);
        QFETCH(CK_RV, expected);
        QFETCH(QVector<bool>, available);
        QFETCH(QByteArray, value);
        const CK_SESSION_HANDLE s = open(label.startsWith("sm2") ? "SM2 token" : "RSA token", true);
        const CK_OBJECT_HANDLE o = object(s, objectClass, label);
        QVERIFY(o != CK_INVALID_HANDLE);
        QVector<QByteArray> storage;
        QVector<CK_ATTRIBUTE> t;
        for (int i = 0; i < types.size(); ++i) {
            const QByteArray known = attribute(s, o, types[i]);
            storage.append(QByteArray(qMax(0, known.size() - (buffers[i] == 2 ? 1 : 0)), '\0'));
            t.append({types[i], buffers[i] ? storage[i].data() : nullptr, CK_ULONG(storage[i].size())});
        }
        QCOMPARE(f->C_GetAttributeValue(s, o, t.data(), t.size()), expected);
        for (int i = 0; i < types.size(); ++i)
            QCOMPARE(t[i].ulValueLen != CK_UNAVAILABLE_INFORMATION, available[i]);
        if (expected == CKR_OK && buffers[0] == 0 && objectClass == CKO_CERTIFICATE)
            QCOMPARE(int(t[0].ulValueLen), m_rsaCert.size());
        if (!value.isEmpty())
            QCOMPARE(storage[0].left(int(t[0].ulValueLen)), value);
    }

    void findTemplates_data()
    {
        QTest::addColumn<Template>("query");
        QTest::addColumn<bool>("login");
        QTest::addColumn<int>("count");
        QTest::newRow("all, logged out") << Template{} << false << 4;
        QTest::newRow("all, logged in") << Template{} << true << 6;
        QTest::newRow("private keys, logged out") << Template{{CKA_CLASS, number(CKO_PRIVATE_KEY)}} << false << 0;
        QTest::newRow("signing keys") << Template{{CKA_CLASS, number(CKO_PRIVATE_KEY)}, {CKA_SIGN, boolean(true)}}
                                      << true << 1;
        QTest::newRow("the pair's label") << Template{{CKA_LABEL, "rsakey"}} << true << 3;
        QTest::newRow("the pair's identifier") << Template{{CKA_ID, rsaKeyId(m_rsaCert)}} << true << 3;
        QTest::newRow("SM2 keys") << Template{{CKA_KEY_TYPE, number(CKK_EC)}} << true << 0;
        QTest::newRow("user certificates") << Template{{CKA_CERTIFICATE_CATEGORY, number(1)}} << false << 2;
        QTest::newRow("class in four bytes") << Template{{CKA_CLASS, QByteArray(4, '\0')}} << true << 0;
        QTest::newRow("a sensitive value") << Template{{CKA_PRIVATE_EXPONENT, "x"}} << true << 0;
    }
    void findTemplates()
    {
        QFETCH(Template, query);
        QFETCH(bool, login);
        QFETCH(int, count);
        const CK_SESSION_HANDLE s = open("RSA token", login);
        QVERIFY(s);
        QCOMPARE(find(s, query).size(), count);
    }

    void signing_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<CK_MECHANISM_TYPE>("mechanism");
        QTest::addColumn<QByteArray>("param");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("parts");
        QTest::addColumn<CK_RV>("expected");
        const QByteArray rsa = "RSA token", sm2 = "SM2 token", big(150000, 'm'), e(32, 'e');
        QTest::newRow("SHA-512 in parts") << rsa << QByteArray("rsakey") << CKM_SHA512_RSA_PKCS << QByteArray() << big
                                          << true << CK_RV(CKR_OK);
        QTest::newRow("RSA-PKCS in parts") << rsa << QByteArray("rsakey") << CKM_RSA_PKCS << QByteArray()
                                           << QByteArray(245, 'd') << true << CK_RV(CKR_OK);
        QTest::newRow("RSA-PKCS too long") << rsa << QByteArray("rsakey") << CKM_RSA_PKCS << QByteArray()
                                           << QByteArray(246, 'd') << false << CK_RV(CKR_DATA_LEN_RANGE);
        QTest::newRow("SM3-SM2 in parts") << sm2 << QByteArray("sm2key") << CKM_KEYMGR_SM3_SM2 << QByteArray() << big
                                          << true << CK_RV(CKR_OK);
        QTest::newRow("SM3-SM2, own signer ID") << sm2 << QByteArray("sm2key") << CKM_KEYMGR_SM3_SM2
                                                << QByteArray("alice@example") << QByteArray("m") << false
                                                << CK_RV(CKR_OK);
        QTest::newRow("raw SM2 in parts") << sm2 << QByteArray("sm2key") << CKM_KEYMGR_SM2 << QByteArray() << e
                                          << true << CK_RV(CKR_OK);
        QTest::newRow("raw SM2, 31 bytes") << sm2 << QByteArray("sm2key") << CKM_KEYMGR_SM2 << QByteArray()
                                           << e.left(31) << false << CK_RV(CKR_DATA_LEN_RANGE);
        QTest::newRow("encryption key") << rsa << QByteArray("rsakey (encryption)") << CKM_SHA256_RSA_PKCS
                                        << QByteArray() << QByteArray("m") << false
                                        << CK_RV(CKR_KEY_FUNCTION_NOT_PERMITTED);
        QTest::newRow("SM2 mechanism, RSA key") << rsa << QByteArray("rsakey") << CKM_KEYMGR_SM2 << QByteArray() << e
                                                << false << CK_RV(CKR_KEY_TYPE_INCONSISTENT);
        QTest::newRow("RSA with a parameter") << rsa << QByteArray("rsakey") << CKM_SHA256_RSA_PKCS
                                              << QByteArray("p") << QByteArray("m") << false
                                              << CK_RV(CKR_MECHANISM_PARAM_INVALID);
        QTest::newRow("ECDSA") << sm2 << QByteArray("sm2key") << CK_MECHANISM_TYPE(CKM_ECDSA) << QByteArray() << e
                               << false << CK_RV(CKR_MECHANISM_INVALID);
    }
    void signing()
    {
        QFETCH(QByteArray, token);
        QFETCH(QByteArray, key);
        QFETCH(CK_MECHANISM_TYPE, mechanism);
        QFETCH(QByteArray, param);
        QFETCH(QByteArray, data);
        QFETCH(bool, parts);
        QFETCH(CK_RV, expected);
        const CK_SESSION_HANDLE s = open(token, true);
        CK_RV rv = CKR_OK;
        const QByteArray sig = sign(s, object(s, CKO_PRIVATE_KEY, key), mechanism, data, parts, &rv, param);
        QCOMPARE(rv, expected);
        if (expected == CKR_OK)
            QVERIFY(verified(token == "RSA token" ? m_rsaCert : m_sm2Cert, mechanism, data, sig,
                             param.isEmpty() ? QByteArray("1234567812345678") : param));
        // Whatever the answer, the operation is over: a new one may start.
        CK_MECHANISM next = {CKM_SHA256_RSA_PKCS, nullptr, 0};
        QVERIFY(f->C_SignInit(s, &next, object(s, CKO_PRIVATE_KEY, key)) != CKR_OPERATION_ACTIVE);
    }

    void sizeQueryKeepsOperation()
    {
        const CK_SESSION_HANDLE s = open("SM2 token");
        CK_MECHANISM mech = {CKM_KEYMGR_SM3_SM2, nullptr, 0};
        QCOMPARE(f->C_SignInit(s, &mech, object(s, CKO_PUBLIC_KEY, "sm2key")), CK_RV(CKR_KEY_FUNCTION_NOT_PERMITTED));
        QCOMPARE(f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size()), CK_RV(CKR_OK));
        QCOMPARE(f->C_SignInit(s, &mech, object(s, CKO_PRIVATE_KEY, "sm2key")), CK_RV(CKR_OK));
        CK_BYTE sig[64], msg[] = "m";
        CK_ULONG length = 0;
        QCOMPARE(f->C_Sign(s, msg, 1, nullptr, &length), CK_RV(CKR_OK));
        QCOMPARE(length, CK_ULONG(64));
        length = 63;
        QCOMPARE(f->C_Sign(s, msg, 1, sig, &length), CK_RV(CKR_BUFFER_TOO_SMALL));
        QCOMPARE(f->C_Sign(s, msg, 1, sig, &length), CK_RV(CKR_OK));
        QVERIFY(verified(m_sm2Cert, CKM_KEYMGR_SM3_SM2, "m", QByteArray(reinterpret_cast<char*>(sig), 64)));
        QCOMPARE(f->C_Sign(s, msg, 1, sig, &length), CK_RV(CKR_OPERATION_NOT_INITIALIZED));
    }

    void removal_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("plugBack"); // before the next call, as a quick user might
        QTest::newRow("after SignInit") << "sign" << false;
        QTest::newRow("in a multi-part signature") << "final" << false;
        QTest::newRow("before a search") << "find" << false;
        QTest::newRow("seen by the slot list first") << "slots" << false;
        QTest::newRow("pulled and plugged back") << "sign" << true;
    }
    void removal()
    {
        QFETCH(QString, step);
        QFETCH(bool, plugBack);
        const CK_SLOT_ID id = slot("RSA token");
        const CK_SESSION_HANDLE s = open("RSA token", true);
        const CK_SESSION_HANDLE other = open("RSA token");
        const CK_OBJECT_HANDLE key = object(s, CKO_PRIVATE_KEY, "rsakey");
        CK_MECHANISM mech = {CKM_SHA256_RSA_PKCS, nullptr, 0};
        QCOMPARE(f->C_SignInit(s, &mech, key), CK_RV(CKR_OK));
        CK_BYTE data[] = "data", sig[256];
        CK_ULONG length = sizeof sig;
        QCOMPARE(f->C_SignUpdate(s, data, 4), CK_RV(CKR_OK));
        QVERIFY(m_skf.remove("TOKEN1"));
        if (plugBack)
            QVERIFY(m_skf.insert("TOKEN1"));
        CK_RV rv = CKR_OK;
        if (step == "slots") {
            QCOMPARE(slot("RSA token"), CK_SLOT_ID(CK_UNAVAILABLE_INFORMATION));
            rv = f->C_SignFinal(s, sig, &length);
        } else if (step == "find") {
            find(s, {}, &rv);
        } else {
            rv = step == "sign" ? f->C_Sign(s, data, 4, sig, &length) : f->C_SignFinal(s, sig, &length);
        }
        QCOMPARE(rv, CK_RV(CKR_DEVICE_REMOVED));
        QCOMPARE(f->C_SignFinal(s, sig, &length), CK_RV(CKR_SESSION_HANDLE_INVALID));
        // The other session is told once too.
        CK_SESSION_INFO info;
        QCOMPARE(f->C_GetSessionInfo(other, &info), CK_RV(CKR_DEVICE_REMOVED));
        QCOMPARE(f->C_GetSessionInfo(other, &info), CK_RV(CKR_SESSION_HANDLE_INVALID));
        QVERIFY(m_skf.insert("TOKEN1"));
        QCOMPARE(slot("RSA token"), id);
        signsAgain("RSA token");
    }

    void hostileAnswers_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("parameter");
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<int>("minCertSize");
        const QByteArray plain = "RSA token";
        for (const char* mode : {"growing-list", "list-no-terminator", "list-unterminated-name", "empty-list-two-nuls",
                                 "size-overstated"})
            QTest::newRow(mode) << QString(mode) << qint64(0) << plain << 500;
        QTest::newRow("devinfo-unterminated") << "devinfo-unterminated" << qint64(0)
                                              << plain + QByteArray(32 - plain.size(), '*') << 500;
        QTest::newRow("long-cert") << "long-cert" << qint64(70000) << plain << 70000;
        QTest::newRow("rsa-bitlen") << "rsa-bitlen" << qint64(4096) << plain << 500;
    }
    void hostileAnswers()
    {
        QFETCH(QString, mode);
        QFETCH(qint64, parameter);
        QFETCH(QByteArray, label);
        QFETCH(int, minCertSize);
        QVERIFY(m_skf.hostile(mode, parameter));
        CK_ULONG count = 0;
        QCOMPARE(f->C_GetSlotList(CK_TRUE, nullptr, &count), CK_RV(CKR_OK));
        QCOMPARE(count, CK_ULONG(2));
        const CK_SESSION_HANDLE s = open(label, true);
        QVERIFY2(s, "no token with the expected label");
        const auto certs = find(s, {{CKA_CLASS, number(CKO_CERTIFICATE)}});
        QCOMPARE(certs.size(), 2);
        QVERIFY(attribute(s, certs[0], CKA_VALUE).size() >= minCertSize);
        const CK_OBJECT_HANDLE key = object(s, CKO_PRIVATE_KEY, "rsakey");
        QCOMPARE(attribute(s, key, CKA_MODULUS).size(), 256);
        CK_RV rv = CKR_OK;
        const QByteArray sig = sign(s, key, CKM_SHA256_RSA_PKCS, "hostile", false, &rv);
        QCOMPARE(rv, CK_RV(CKR_OK));
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "hostile", sig));
    }

    void resultTable_data()
    {
        QTest::addColumn<QString>("function");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<CK_RV>("expected");
        QTest::newRow("signature, data length") << "SKF_RSASignData" << quint32(0x0A000010) << CK_RV(CKR_DATA_LEN_RANGE);
        QTest::newRow("signature, logged out elsewhere") << "SKF_RSASignData" << quint32(0x0A00002D)
                                                         << CK_RV(CKR_USER_NOT_LOGGED_IN);
        QTest::newRow("signature, failure") << "SKF_RSASignData" << quint32(0x0A000001) << CK_RV(CKR_FUNCTION_FAILED);
        QTest::newRow("signature, unknown code") << "SKF_RSASignData" << quint32(0x0A0000FF) << CK_RV(CKR_DEVICE_ERROR);
        QTest::newRow("signature, token gone") << "SKF_OpenContainer" << quint32(0x0A000023)
                                               << CK_RV(CKR_DEVICE_REMOVED);
        QTest::newRow("login, PIN locked") << "SKF_VerifyPIN" << quint32(0x0A000025) << CK_RV(CKR_PIN_LOCKED);
        QTest::newRow("search, list refused") << "SKF_EnumContainer" << quint32(0x0A00000E)
                                              << CK_RV(CKR_DEVICE_MEMORY);
        QTest::newRow("slot list refused") << "SKF_EnumDev" << quint32(0x0A000001) << CK_RV(CKR_FUNCTION_FAILED);
    }
    void resultTable()
    {
        QFETCH(QString, function);
        QFETCH(quint32, code);
        QFETCH(CK_RV, expected);
        const CK_SESSION_HANDLE s = open("RSA token", true);
        const CK_OBJECT_HANDLE key = object(s, CKO_PRIVATE_KEY, "rsakey");
        QCOMPARE(f->C_Logout(s), CK_RV(CKR_OK));
        QVERIFY(m_skf.fail(function, code));
        CK_RV rv = f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size());
        if (function == "SKF_EnumDev") {
            CK_ULONG count = 0;
            rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
        } else if (function == "SKF_EnumContainer") {
            find(s, {}, &rv);
        } else if (rv == CKR_OK) {
            sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv);
        }
        QCOMPARE(rv, expected);
        CK_SESSION_INFO info;
        if (code == 0x0A00002D) // the token's own word on the login wins
            QVERIFY(f->C_GetSessionInfo(s, &info) == CKR_OK && info.state == CKS_RO_PUBLIC_SESSION);
    }

    void pinRules_data()
    {
        QTest::addColumn<QByteArray>("newPin");
        for (const char* pin : {"kv3939AB", "abcdef", "ABCDEF12", "Ab1", "Ab12345678901234", "Ab123456789012345",
                                "ab cd 12", "密码abc123", "ab\x01" "cd123", "12345678"})
            QTest::newRow(pin) << QByteArray(pin);
    }
    void pinRules()
    {
        QFETCH(QByteArray, newPin);
        const pinrules::PinEntry entry = pinrules::PinEntry::SetPinDialog;
        const bool windowTakes = !pinrules::firstBrokenRuleBytes(entry, kPin.constData(), newPin.constData(),
                                                                 newPin.constData()) &&
                                 newPin.size() <= pinrules::rulesFor(entry).maxChars;
        const CK_SESSION_HANDLE s = open("RSA token", false, CKF_RW_SESSION);
        QVERIFY(m_skf.resetStats());
        auto* oldPin = (CK_UTF8CHAR_PTR)kPin.data();
        auto* pin = (CK_UTF8CHAR_PTR)newPin.data();
        const CK_RV rv = f->C_SetPIN(s, oldPin, kPin.size(), pin, newPin.size());
        QCOMPARE(rv == CKR_OK, windowTakes);
        QCOMPARE(m_skf.stats().value("SKF_ChangePIN"), qint64(windowTakes ? 1 : 0));
        if (!windowTakes)
            QCOMPARE(rv, CK_RV(newPin.size() < 6 || newPin.size() > 16 ? CKR_PIN_LEN_RANGE : CKR_PIN_INVALID));
        else
            QCOMPARE(f->C_Login(s, CKU_USER, pin, newPin.size()), CK_RV(CKR_OK));
    }

    void pinFlags_data()
    {
        QTest::addColumn<int>("remaining");
        QTest::addColumn<int>("factoryPin");
        QTest::addColumn<CK_FLAGS>("flags");
        QTest::newRow("all tries") << 6 << 0 << CK_FLAGS(0);
        QTest::newRow("one wrong") << 5 << 0 << CK_FLAGS(CKF_USER_PIN_COUNT_LOW);
        QTest::newRow("last try") << 1 << 0 << CK_FLAGS(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY);
        QTest::newRow("locked") << 0 << 0 << CK_FLAGS(CKF_USER_PIN_LOCKED);
        QTest::newRow("factory PIN") << 6 << 1 << CK_FLAGS(CKF_USER_PIN_TO_BE_CHANGED);
    }
    void pinFlags()
    {
        QFETCH(int, remaining);
        QFETCH(int, factoryPin);
        QFETCH(CK_FLAGS, flags);
        QVERIFY(m_skf.setPin("TOKEN1", "user", QString(), 6, remaining, factoryPin));
        CK_TOKEN_INFO info;
        QCOMPARE(f->C_GetTokenInfo(slot("RSA token"), &info), CK_RV(CKR_OK));
        const CK_FLAGS pinBits = CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED |
                                 CKF_USER_PIN_TO_BE_CHANGED;
        QCOMPARE(info.flags & pinBits, flags);
        QCOMPARE(info.flags & ~pinBits, CK_FLAGS(CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED));
        if (remaining < 2)
            return;
        // A wrong PIN costs one try; one that cannot be a PIN costs none; SO logins are not offered.
        const CK_SESSION_HANDLE s = open("RSA token");
        QCOMPARE(f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "Wrong123", 8), CK_RV(CKR_PIN_INCORRECT));
        QCOMPARE(f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "12345\0" "78", 8), CK_RV(CKR_PIN_INCORRECT));
        QCOMPARE(f->C_Login(s, CKU_SO, (CK_UTF8CHAR_PTR)kPin.data(), 8), CK_RV(CKR_USER_TYPE_INVALID));
        QCOMPARE(m_skf.userPin("TOKEN1").value("remainingRetries").toInt(), remaining - 1);
    }

    void slotEvents()
    {
        CK_SLOT_ID got = 0;
        QCOMPARE(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &got, nullptr), CK_RV(CKR_NO_EVENT));
        QVERIFY(m_skf.insert("TOKEN3"));
        QCOMPARE(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &got, nullptr), CK_RV(CKR_OK));
        const CK_SLOT_ID third = got;
        QCOMPARE(f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &got, nullptr), CK_RV(CKR_NO_EVENT));
        // A blocked wait leaves the module to the other threads, and wakes on the removal.
        auto waiter = std::async(std::launch::async, [this, &got] { return f->C_WaitForSlotEvent(0, &got, nullptr); });
        signsAgain("RSA token");
        QVERIFY(m_skf.remove("TOKEN3"));
        QCOMPARE(waiter.wait_for(ClockSeconds(20)), std::future_status::ready);
        QCOMPARE(waiter.get(), CK_RV(CKR_OK));
        QCOMPARE(got, third);
        CK_SLOT_INFO info;
        QVERIFY(f->C_GetSlotInfo(third, &info) == CKR_OK && !(info.flags & CKF_TOKEN_PRESENT));
        // C_Finalize ends a wait blocked in the library.
        const qint64 waits = m_skf.stats().value("SKF_WaitForDevEvent");
        auto ended = std::async(std::launch::async, [this, &got] { return f->C_WaitForSlotEvent(0, &got, nullptr); });
        QTRY_VERIFY_WITH_TIMEOUT(m_skf.stats().value("SKF_WaitForDevEvent") > waits, 20000);
        QCOMPARE(f->C_Finalize(nullptr), CK_RV(CKR_OK));
        QCOMPARE(ended.wait_for(ClockSeconds(1)), std::future_status::ready);
        QCOMPARE(ended.get(), CK_RV(CKR_CRYPTOKI_NOT_INITIALIZED));
        QCOMPARE(f->C_Initialize(nullptr), CK_RV(CKR_OK));
    }

    void concurrentSessions()
    {
        const CK_SESSION_HANDLE rsa = open("RSA token", true), sm2 = open("SM2 token", true);
        const CK_OBJECT_HANDLE rsaKey = object(rsa, CKO_PRIVATE_KEY, "rsakey");
        const CK_OBJECT_HANDLE sm2Key = object(sm2, CKO_PRIVATE_KEY, "sm2key");
        std::atomic<int> good{0};
        auto work = [&](CK_SESSION_HANDLE s, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mech, const QByteArray& cert) {
            for (int i = 0; i < 10; ++i) {
                CK_RV rv = CKR_OK;
                const QByteArray data = QByteArray::number(i) + " thread";
                good += verified(cert, mech, data, sign(s, key, mech, data, i % 2, &rv)) ? 1 : 0;
            }
        };
        std::thread a(work, rsa, rsaKey, CKM_SHA384_RSA_PKCS, m_rsaCert);
        std::thread b(work, sm2, sm2Key, CKM_KEYMGR_SM3_SM2, m_sm2Cert);
        a.join();
        b.join();
        QCOMPARE(good.load(), 20);
    }

    void otherClients()
    {
        const CK_SESSION_HANDLE s = open("RSA token", true);
        const CK_OBJECT_HANDLE key = object(s, CKO_PRIVATE_KEY, "rsakey");
        // Another program reads the token meanwhile (keymgr or libkeyprobe's users).
        QProcess probe;
        probe.start(KEYPROBE_CLI, {"certs"});
        QVERIFY(probe.waitForFinished(20000) && probe.exitCode() == 0);
        CK_RV rv = CKR_OK;
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "m", sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv)));
        // An SKF client of this process logs the application out, as keymgr would on a token that keeps
        // the login on the card: the module learns it at its next signature and takes a new login.
        void* skf = dlopen(KEYMGR_SKF_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
        QVERIFY(skf);
        auto connect = reinterpret_cast<PFN_SKF_ConnectDev>(dlsym(skf, "SKF_ConnectDev"));
        auto openApp = reinterpret_cast<PFN_SKF_OpenApplication>(dlsym(skf, "SKF_OpenApplication"));
        auto clear = reinterpret_cast<PFN_SKF_ClearSecureState>(dlsym(skf, "SKF_ClearSecureState"));
        char device[] = "TOKEN1", appName[] = "ORVANE-PKIAPP";
        DEVHANDLE dev = nullptr;
        HAPPLICATION app = nullptr;
        QVERIFY(connect(device, &dev) == SAR_OK && openApp(dev, appName, &app) == SAR_OK && clear(app) == SAR_OK);
        sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv);
        QCOMPARE(rv, CK_RV(CKR_USER_NOT_LOGGED_IN));
        QCOMPARE(f->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size()), CK_RV(CKR_OK));
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "m", sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv)));
        dlclose(skf);
    }

    void tokenText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("width");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("UTF-8") << QByteArray("签名密钥") << 32 << QByteArray("签名密钥");
        QTest::newRow("GBK") << QByteArray("\xd6\xf7\xc8\xdd\xc6\xf7") << 32 << QByteArray("主容器");
        QTest::newRow("neither") << QByteArray("A\xff") << 32 << QByteArray("A\\xff");
        QTest::newRow("terminal control") << QByteArray("a\x1b[2J") << 32 << QByteArray("a\\x1b[2J");
        QTest::newRow("cut before a character") << QByteArray(11, '\0').replace('\0', "中") << 32
                                                << QByteArray(10, '\0').replace('\0', "中");
        QTest::newRow("serial keeps its end") << QByteArray("SN-2024-0000000000012345") << -16
                                              << QByteArray("0000000000012345");
    }
    void tokenText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, width);
        QFETCH(QByteArray, shown);
        const std::string text = p11::displayText(bytes.toStdString());
        if (width < 0) {
            QCOMPARE(QByteArray::fromStdString(p11::tailThatFits(text, std::size_t(-width))), shown);
            return;
        }
        unsigned char field[32];
        p11::padField(text, field, std::size_t(width));
        QCOMPARE(trimmed(field, width), shown);
    }

    void missingLibrary()
    {
        // A copy of the module whose SKF library is not there yet, then is one that lacks most functions.
        void* handle = nullptr;
        CK_FUNCTION_LIST* g = load(KEYMGR_P11_PRIVATE_MODULE, &handle);
        QVERIFY(g);
        CK_ULONG count = 5;
        CK_SLOT_ID ids[4];
        const QByteArray told = captureFd(2, [&] {
            QCOMPARE(g->C_Initialize(nullptr), CK_RV(CKR_OK));
            QCOMPARE(g->C_GetSlotList(CK_FALSE, nullptr, &count), CK_RV(CKR_OK));
            QCOMPARE(g->C_WaitForSlotEvent(CKF_DONT_BLOCK, ids, nullptr), CK_RV(CKR_NO_EVENT));
            QCOMPARE(g->C_WaitForSlotEvent(0, ids, nullptr), CK_RV(CKR_FUNCTION_NOT_SUPPORTED));
        });
        QCOMPARE(count, CK_ULONG(0));
        QCOMPARE(told.count('\n'), 1);
        QVERIFY(told.contains(KEYMGR_P11_PRIVATE_SKF));
        QDir().mkpath(QFileInfo(KEYMGR_P11_PRIVATE_SKF).path());
        QVERIFY(QFile::copy(SKF_PARTIAL_FAKE, KEYMGR_P11_PRIVATE_SKF));
        count = 4;
        QCOMPARE(g->C_GetSlotList(CK_FALSE, ids, &count), CK_RV(CKR_OK));
        QCOMPARE(count, CK_ULONG(0)); // the library cannot open the token's application
        QCOMPARE(g->C_Finalize(nullptr), CK_RV(CKR_OK));
        QVERIFY(QFile::remove(KEYMGR_P11_PRIVATE_SKF));
    }
};

QTEST_GUILESS_MAIN(TestPkcs11)
#include "tst_pkcs11.moc"
