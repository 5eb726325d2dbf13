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
#include <openssl/x509.h>

#include <dlfcn.h>

#include <future>
#include <memory>
#include <thread>

namespace {

const QByteArray kPin = "12345678";
const QByteArray kSignerId = "1234567812345678";
using Template = QList<QPair<CK_ATTRIBUTE_TYPE, QByteArray>>;
using Types = QVector<CK_ATTRIBUTE_TYPE>;
using Seconds = std::chrono::seconds;

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

const unsigned char* bytes(const QByteArray& b)
{
    return reinterpret_cast<const unsigned char*>(b.constData());
}

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PkeyPtr certKey(const QByteArray& der)
{
    const unsigned char* p = bytes(der);
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, der.size()), X509_free);
    return PkeyPtr(cert ? X509_get_pubkey(cert.get()) : nullptr, EVP_PKEY_free);
}

// OpenSSL's verdict on a signature by the certificate's key; SM2's r || s goes into DER first.
bool verified(const QByteArray& certDer, CK_MECHANISM_TYPE mech, const QByteArray& data, QByteArray sig,
              const QByteArray& signerId = kSignerId)
{
    PkeyPtr key = certKey(certDer);
    const bool sm2 = mech == CKM_KEYMGR_SM2 || mech == CKM_KEYMGR_SM3_SM2;
    if (!key || (sm2 && sig.size() != 64))
        return false;
    if (sm2) {
        std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> s(ECDSA_SIG_new(), ECDSA_SIG_free);
        ECDSA_SIG_set0(s.get(), BN_bin2bn(bytes(sig), 32, nullptr), BN_bin2bn(bytes(sig) + 32, 32, nullptr));
        unsigned char* der = nullptr;
        sig = QByteArray(reinterpret_cast<const char*>(der), i2d_ECDSA_SIG(s.get(), &der));
        OPENSSL_free(der);
    }
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> pctx(EVP_PKEY_CTX_new(key.get(), nullptr),
                                                                     EVP_PKEY_CTX_free);
    if (mech == CKM_KEYMGR_SM2)
        return EVP_PKEY_verify_init(pctx.get()) == 1 &&
               EVP_PKEY_verify(pctx.get(), bytes(sig), sig.size(), bytes(data), data.size()) == 1;
    if (mech == CKM_RSA_PKCS) {
        unsigned char out[512];
        size_t length = sizeof out;
        return EVP_PKEY_verify_recover_init(pctx.get()) == 1 &&
               EVP_PKEY_verify_recover(pctx.get(), out, &length, bytes(sig), sig.size()) == 1 &&
               QByteArray(reinterpret_cast<const char*>(out), int(length)) == data;
    }
    const EVP_MD* md = mech == CKM_SHA256_RSA_PKCS   ? EVP_sha256()
                       : mech == CKM_SHA384_RSA_PKCS ? EVP_sha384()
                       : mech == CKM_SHA512_RSA_PKCS ? EVP_sha512()
                                                     : EVP_sm3();
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (sm2)
        EVP_PKEY_CTX_set1_id(pctx.get(), signerId.constData(), signerId.size());
    EVP_MD_CTX_set_pkey_ctx(ctx.get(), pctx.get());
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), bytes(sig), sig.size(), bytes(data), data.size()) == 1;
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
        CK_TOKEN_INFO info;
        for (CK_ULONG i = 0; f->C_GetSlotList(CK_TRUE, ids, &count) == CKR_OK && i < count; ++i) {
            if (f->C_GetTokenInfo(ids[i], &info) == CKR_OK && trimmed(info.label, 32) == label)
                return ids[i];
        }
        return CK_UNAVAILABLE_INFORMATION;
    }
    CK_RV login(CK_SESSION_HANDLE s, const QByteArray& pin = kPin, CK_USER_TYPE user = CKU_USER)
    {
        return f->C_Login(s, user, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.data())), pin.size());
    }
    CK_SESSION_HANDLE open(const QByteArray& label, bool loggedIn = false, CK_FLAGS rw = 0)
    {
        CK_SESSION_HANDLE s = 0;
        const bool ok = f->C_OpenSession(slot(label), CKF_SERIAL_SESSION | rw, nullptr, nullptr, &s) == CKR_OK;
        return ok && (!loggedIn || login(s) == CKR_OK) ? s : 0;
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
        return found.mid(0, int(count));
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
        CK_MECHANISM mech = {type, param.isEmpty() ? nullptr : const_cast<char*>(param.data()), CK_ULONG(param.size())};
        QByteArray sig(512, '\0');
        CK_ULONG length = sig.size();
        auto* in = const_cast<CK_BYTE_PTR>(bytes(data));
        auto* out = reinterpret_cast<CK_BYTE_PTR>(sig.data());
        *rv = f->C_SignInit(s, &mech, key);
        for (int at = 0; parts && *rv == CKR_OK && at < data.size(); at += 1000)
            *rv = f->C_SignUpdate(s, in + at, CK_ULONG(qMin(1000, data.size() - at)));
        // A size query and a buffer one byte short leave the operation as it was.
        CK_ULONG need = 0;
        if (*rv == CKR_OK && !parts && f->C_Sign(s, in, data.size(), nullptr, &need) == CKR_OK && need > 1) {
            CK_ULONG small = need - 1;
            if (f->C_Sign(s, in, data.size(), out, &small) != CKR_BUFFER_TOO_SMALL || small != need)
                *rv = CKR_GENERAL_ERROR;
        }
        if (*rv == CKR_OK)
            *rv = parts ? f->C_SignFinal(s, out, &length) : f->C_Sign(s, in, data.size(), out, &length);
        return *rv == CKR_OK ? sig.left(int(length)) : QByteArray();
    }
    void signsAgain()
    {
        const CK_SESSION_HANDLE s = open("RSA token", true);
        CK_RV rv = CKR_OK;
        const QByteArray sig = sign(s, object(s, CKO_PRIVATE_KEY, "rsakey"), CKM_SHA256_RSA_PKCS, "again", false, &rv);
        QCOMPARE(rv, CK_RV(CKR_OK));
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "again", sig));
    }

private slots:
    void initTestCase()
    {
        SoftSkfFixture::TokenSpec rsa, sm2;
        rsa.label = "RSA token";
        sm2.name = "TOKEN2";
        sm2.label = "SM2 token";
        QVERIFY(m_skf.init() && m_skf.createToken(rsa) && m_skf.createToken(sm2) && m_skf.createToken("TOKEN3", false));
        QVERIFY(m_skf.addContainer("TOKEN1", "rsakey", "rsa2048") && m_skf.addContainer("TOKEN2", "sm2key", "sm2"));
        QVERIFY(m_skf.addCert("TOKEN1", "rsakey", true, "Zhang San", 365));
        QVERIFY(m_skf.addCert("TOKEN1", "rsakey", false, "Zhang San", 365));
        QVERIFY(m_skf.addCert("TOKEN2", "sm2key", true, "Li Si", 365));
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
        QVERIFY(m_skf.setPin("TOKEN1", "user", QString::fromLatin1(kPin), 6, 6, 0));
    }

    void initArgs_data()
    {
        QTest::addColumn<CK_FLAGS>("flags");
        QTest::addColumn<int>("mutexFunctions");
        QTest::addColumn<bool>("reserved");
        QTest::addColumn<CK_RV>("expected");
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
        CK_C_INITIALIZE_ARGS args = {mutexFunctions > 0 ? +create : nullptr,
                                     mutexFunctions > 1 ? +fake : nullptr,
                                     mutexFunctions > 2 ? +fake : nullptr,
                                     mutexFunctions > 3 ? +fake : nullptr,
                                     flags,
                                     reserved ? &args : nullptr};
        QCOMPARE(f->C_Initialize(&args), expected);
        if (expected != CKR_OK)
            QCOMPARE(f->C_Initialize(nullptr), CK_RV(CKR_OK));
    }

    void attributeRules_data()
    {
        QTest::addColumn<CK_OBJECT_CLASS>("objectClass");
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<Types>("types");
        QTest::addColumn<QVector<int>>("buffers"); // per entry: 0 none, 1 exact, 2 one byte short
        QTest::addColumn<CK_RV>("expected");
        QTest::addColumn<QVector<bool>>("available");
        QTest::addColumn<QByteArray>("value"); // of the first entry, when given
        unsigned char point[67] = {0x04, 0x41};
        size_t n = 0;
        EVP_PKEY_get_octet_string_param(certKey(m_sm2Cert).get(), "encoded-pub-key", point + 2, 65, &n);
        auto row = [](const char* name, CK_OBJECT_CLASS c, const char* label, Types types, QVector<int> buffers,
                      CK_RV rv, QVector<bool> available, const QByteArray& value = QByteArray()) {
            QTest::newRow(name) << c << QByteArray(label) << types << buffers << rv << available << value;
        };
        const CK_OBJECT_CLASS cert = CKO_CERTIFICATE, pub = CKO_PUBLIC_KEY, priv = CKO_PRIVATE_KEY;
        row("value, size asked", cert, "rsakey", {CKA_VALUE}, {0}, CKR_OK, {true}, m_rsaCert);
        row("value, exact", cert, "rsakey", {CKA_VALUE}, {1}, CKR_OK, {true}, m_rsaCert);
        row("value, one short", cert, "rsakey", {CKA_VALUE}, {2}, CKR_BUFFER_TOO_SMALL, {false});
        row("certificate's modulus", cert, "rsakey", {CKA_MODULUS}, {0}, CKR_ATTRIBUTE_TYPE_INVALID, {false});
        row("private exponent", priv, "rsakey", {CKA_PRIVATE_EXPONENT}, {0}, CKR_ATTRIBUTE_SENSITIVE, {false});
        row("every entry answered", priv, "rsakey (encryption)", {CKA_SIGN, CKA_PRIME_1, CKA_EC_POINT, CKA_LOCAL},
            {1, 0, 0, 1}, CKR_ATTRIBUTE_SENSITIVE, {true, false, false, true}, boolean(false));
        row("SM2 private value", priv, "sm2key", {CKA_VALUE, CKA_EC_PARAMS}, {0, 1}, CKR_ATTRIBUTE_SENSITIVE,
            {false, true});
        row("SM2 point", pub, "sm2key", {CKA_EC_POINT}, {1}, CKR_OK, {true}, QByteArray((char*)point, 67));
        row("RSA key size", pub, "rsakey", {CKA_MODULUS_BITS}, {1}, CKR_OK, {true}, number(2048));
    }
    void attributeRules()
    {
        QFETCH(CK_OBJECT_CLASS, objectClass);
        QFETCH(QByteArray, label);
        QFETCH(Types, types);
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
            storage.append(QByteArray(qMax(0, attribute(s, o, types[i]).size() - (buffers[i] == 2)), '\0'));
            t.append({types[i], buffers[i] ? storage[i].data() : nullptr, CK_ULONG(storage[i].size())});
        }
        QCOMPARE(f->C_GetAttributeValue(s, o, t.data(), t.size()), expected);
        for (int i = 0; i < types.size(); ++i)
            QCOMPARE(t[i].ulValueLen != CK_UNAVAILABLE_INFORMATION, available[i]);
        if (available[0])
            QCOMPARE(int(t[0].ulValueLen), value.size());
        if (buffers[0] && available[0])
            QCOMPARE(storage[0].left(int(t[0].ulValueLen)), value);
    }

    void findTemplates_data()
    {
        QTest::addColumn<Template>("query");
        QTest::addColumn<bool>("login");
        QTest::addColumn<int>("count");
        const QByteArray privateKey = number(CKO_PRIVATE_KEY);
        unsigned char id[20];
        BIGNUM* n = nullptr;
        EVP_PKEY_get_bn_param(certKey(m_rsaCert).get(), "n", &n);
        QByteArray modulus(BN_num_bytes(n), '\0');
        BN_bn2bin(n, reinterpret_cast<unsigned char*>(modulus.data()));
        BN_free(n);
        SHA1(bytes(modulus), modulus.size(), id);
        auto row = [](const char* name, const Template& t, bool login, int count) {
            QTest::newRow(name) << t << login << count;
        };
        row("all, logged out", {}, false, 4);
        row("all, logged in", {}, true, 6);
        row("private keys, logged out", {{CKA_CLASS, privateKey}}, false, 0);
        row("signing keys", {{CKA_CLASS, privateKey}, {CKA_SIGN, boolean(true)}}, true, 1);
        row("the pair's label", {{CKA_LABEL, "rsakey"}}, true, 3);
        row("the pair's identifier", {{CKA_ID, QByteArray((char*)id, 20)}}, true, 3);
        row("SM2 keys", {{CKA_KEY_TYPE, number(CKK_EC)}}, true, 0);
        row("user certificates", {{CKA_CERTIFICATE_CATEGORY, number(1)}}, false, 2);
        row("class in four bytes", {{CKA_CLASS, QByteArray(4, '\0')}}, true, 0);
        row("a sensitive value", {{CKA_PRIVATE_EXPONENT, "x"}}, true, 0);
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
        QTest::addColumn<QByteArray>("key"); // the SM2 token's keys start with "sm2"
        QTest::addColumn<CK_MECHANISM_TYPE>("mechanism");
        QTest::addColumn<QByteArray>("param");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("parts");
        QTest::addColumn<CK_RV>("expected");
        auto row = [](const char* name, const char* key, CK_MECHANISM_TYPE mech, const QByteArray& data, bool parts,
                      CK_RV rv, const QByteArray& param = QByteArray()) {
            QTest::newRow(name) << QByteArray(key) << mech << param << data << parts << rv;
        };
        const QByteArray big(150000, 'm'), e(32, 'e');
        row("SHA-512 in parts", "rsakey", CKM_SHA512_RSA_PKCS, big, true, CKR_OK);
        row("RSA-PKCS in parts", "rsakey", CKM_RSA_PKCS, QByteArray(245, 'd'), true, CKR_OK);
        row("RSA-PKCS too long", "rsakey", CKM_RSA_PKCS, QByteArray(246, 'd'), false, CKR_DATA_LEN_RANGE);
        row("SM3-SM2 in parts", "sm2key", CKM_KEYMGR_SM3_SM2, big, true, CKR_OK);
        row("SM3-SM2, own signer ID", "sm2key", CKM_KEYMGR_SM3_SM2, "m", false, CKR_OK, "alice@example");
        row("raw SM2 in parts", "sm2key", CKM_KEYMGR_SM2, e, true, CKR_OK);
        row("raw SM2, 31 bytes", "sm2key", CKM_KEYMGR_SM2, e.left(31), false, CKR_DATA_LEN_RANGE);
        row("encryption key", "rsakey (encryption)", CKM_SHA256_RSA_PKCS, e, false, CKR_KEY_FUNCTION_NOT_PERMITTED);
        row("SM2 mechanism, RSA key", "rsakey", CKM_KEYMGR_SM2, e, false, CKR_KEY_TYPE_INCONSISTENT);
        row("RSA with a parameter", "rsakey", CKM_SHA256_RSA_PKCS, e, false, CKR_MECHANISM_PARAM_INVALID, "p");
        row("ECDSA", "sm2key", CKM_ECDSA, e, false, CKR_MECHANISM_INVALID);
    }
    void signing()
    {
        QFETCH(QByteArray, key);
        QFETCH(CK_MECHANISM_TYPE, mechanism);
        QFETCH(QByteArray, param);
        QFETCH(QByteArray, data);
        QFETCH(bool, parts);
        QFETCH(CK_RV, expected);
        const bool sm2 = key.startsWith("sm2");
        const CK_SESSION_HANDLE s = open(sm2 ? "SM2 token" : "RSA token", true);
        CK_RV rv = CKR_OK;
        const QByteArray sig = sign(s, object(s, CKO_PRIVATE_KEY, key), mechanism, data, parts, &rv, param);
        QCOMPARE(rv, expected);
        if (expected == CKR_OK)
            QVERIFY(verified(sm2 ? m_sm2Cert : m_rsaCert, mechanism, data, sig, param.isEmpty() ? kSignerId : param));
    }

    void removal_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("plugBack"); // before the next call, as a quick user might
        QTest::newRow("signing") << "sign" << false;
        QTest::newRow("ending a multi-part signature") << "final" << false;
        QTest::newRow("searching") << "find" << false;
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
        signsAgain();
    }

    void hostileAnswers_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<qint64>("parameter");
        QTest::addColumn<QByteArray>("label");
        QTest::addColumn<int>("minCertSize");
        const QByteArray plain = "RSA token";
        for (const char* mode :
             {"growing-list", "list-no-terminator", "list-unterminated-name", "empty-list-two-nuls", "size-overstated"})
            QTest::newRow(mode) << QString(mode) << qint64(0) << plain << 500;
        QTest::newRow("devinfo-unterminated")
            << "devinfo-unterminated" << qint64(0) << plain.leftJustified(32, '*') << 500;
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
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "m", sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv)));
    }

    void resultTable_data()
    {
        QTest::addColumn<QString>("function");
        QTest::addColumn<quint32>("code");
        QTest::addColumn<CK_RV>("expected");
        auto row = [](const char* name, const char* function, quint32 code, CK_RV rv) {
            QTest::newRow(name) << QString(function) << code << rv;
        };
        row("signature, data length", "SKF_RSASignData", 0x0A000010, CKR_DATA_LEN_RANGE);
        row("signature, logged out elsewhere", "SKF_RSASignData", 0x0A00002D, CKR_USER_NOT_LOGGED_IN);
        row("signature, failure", "SKF_RSASignData", 0x0A000001, CKR_FUNCTION_FAILED);
        row("signature, unknown code", "SKF_RSASignData", 0x0A0000FF, CKR_DEVICE_ERROR);
        row("signature, token gone", "SKF_OpenContainer", 0x0A000023, CKR_DEVICE_REMOVED);
        row("login, PIN locked", "SKF_VerifyPIN", 0x0A000025, CKR_PIN_LOCKED);
        row("search, list refused", "SKF_EnumContainer", 0x0A00000E, CKR_DEVICE_MEMORY);
        row("slot list refused", "SKF_EnumDev", 0x0A000001, CKR_FUNCTION_FAILED);
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
        CK_RV rv = login(s);
        CK_ULONG count = 0;
        if (function == "SKF_EnumDev")
            rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
        else if (function == "SKF_EnumContainer")
            find(s, {}, &rv);
        else if (rv == CKR_OK)
            sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv);
        QCOMPARE(rv, expected);
        CK_SESSION_INFO info;
        if (code == 0x0A00002D) // the token's own word on the login wins
            QVERIFY(f->C_GetSessionInfo(s, &info) == CKR_OK && info.state == CKS_RO_PUBLIC_SESSION);
    }

    void pinRules_data()
    {
        QTest::addColumn<QByteArray>("newPin");
        for (const char* pin : {"kv3939AB", "abcdef", "ABCDEF12", "Ab1", "Ab12345678901234", "Ab123456789012345",
                                "ab cd 12", "密码abc123",
                                "ab\x01"
                                "cd123",
                                "12345678"})
            QTest::newRow(pin) << QByteArray(pin);
    }
    void pinRules()
    {
        QFETCH(QByteArray, newPin);
        const pinrules::PinEntry entry = pinrules::PinEntry::SetPinDialog;
        const bool windowTakes = !pinrules::firstBrokenRuleBytes(entry, kPin.data(), newPin.data(), newPin.data()) &&
                                 newPin.size() <= pinrules::rulesFor(entry).maxChars;
        const CK_SESSION_HANDLE s = open("RSA token", false, CKF_RW_SESSION);
        QVERIFY(m_skf.resetStats());
        auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(newPin.data());
        const CK_RV rv = f->C_SetPIN(s, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size(), pin, newPin.size());
        QCOMPARE(rv == CKR_OK, windowTakes);
        QCOMPARE(m_skf.stats().value("SKF_ChangePIN"), qint64(windowTakes ? 1 : 0));
        if (windowTakes)
            QCOMPARE(login(s, newPin), CK_RV(CKR_OK));
        else
            QCOMPARE(rv, CK_RV(newPin.size() < 6 || newPin.size() > 16 ? CKR_PIN_LEN_RANGE : CKR_PIN_INVALID));
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
        const CK_FLAGS always = CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED | CKF_TOKEN_INITIALIZED;
        QCOMPARE(info.flags, always | flags);
        if (remaining < 2)
            return;
        // A wrong PIN costs one try; one that cannot be a PIN costs none; SO logins are not offered.
        const CK_SESSION_HANDLE s = open("RSA token");
        QCOMPARE(login(s, "Wrong123"), CK_RV(CKR_PIN_INCORRECT));
        QCOMPARE(login(s, QByteArray("12345\0"
                                     "78",
                                     8)),
                 CK_RV(CKR_PIN_INCORRECT));
        QCOMPARE(login(s, kPin, CKU_SO), CK_RV(CKR_USER_TYPE_INVALID));
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
        signsAgain();
        QVERIFY(m_skf.remove("TOKEN3"));
        QCOMPARE(waiter.wait_for(Seconds(20)), std::future_status::ready);
        QCOMPARE(waiter.get(), CK_RV(CKR_OK));
        QCOMPARE(got, third);
        CK_SLOT_INFO info;
        QVERIFY(f->C_GetSlotInfo(third, &info) == CKR_OK && !(info.flags & CKF_TOKEN_PRESENT));
        // C_Finalize ends a wait blocked in the library.
        const qint64 waits = m_skf.stats().value("SKF_WaitForDevEvent");
        auto ended = std::async(std::launch::async, [this, &got] { return f->C_WaitForSlotEvent(0, &got, nullptr); });
        QTRY_VERIFY_WITH_TIMEOUT(m_skf.stats().value("SKF_WaitForDevEvent") > waits, 20000);
        QCOMPARE(f->C_Finalize(nullptr), CK_RV(CKR_OK));
        QCOMPARE(ended.wait_for(Seconds(1)), std::future_status::ready);
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
        // The last session of each token ends its login.
        QVERIFY(m_skf.resetStats());
        QVERIFY(f->C_CloseSession(rsa) == CKR_OK && f->C_CloseSession(sm2) == CKR_OK);
        QCOMPARE(m_skf.stats().value("SKF_ClearSecureState"), qint64(2));
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
        QCOMPARE(login(s), CK_RV(CKR_OK));
        QVERIFY(verified(m_rsaCert, CKM_SHA256_RSA_PKCS, "m", sign(s, key, CKM_SHA256_RSA_PKCS, "m", false, &rv)));
        dlclose(skf);
    }

    void tokenText_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QByteArray>("shown");
        QTest::newRow("UTF-8") << QByteArray("签名密钥") << QByteArray("签名密钥");
        QTest::newRow("GBK") << QByteArray("\xd6\xf7\xc8\xdd\xc6\xf7") << QByteArray("主容器");
        QTest::newRow("neither") << QByteArray("A\xff") << QByteArray("A\\xff");
        QTest::newRow("terminal control") << QByteArray("a\x1b[2J") << QByteArray("a\\x1b[2J");
    }
    void tokenText()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QByteArray, shown);
        QCOMPARE(QByteArray::fromStdString(p11::displayText(bytes.toStdString())), shown);
    }

    void objectsFollowTheToken()
    {
        const CK_SESSION_HANDLE s = open("SM2 token");
        const auto first = find(s, {});
        QCOMPARE(first.size(), 3); // the signature pair's public key and certificate, the other pair's key
        QVERIFY(m_skf.resetStats());
        QCOMPARE(find(s, {}), first);
        QCOMPARE(m_skf.stats().value("SKF_ExportCertificate"), qint64(0));
        QVERIFY(m_skf.addContainer("TOKEN2", "second", "sm2"));
        const auto second = find(s, {});
        QCOMPARE(second.size(), 5);
        QVERIFY(second.contains(first[0]) && second.contains(first[2]));
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
