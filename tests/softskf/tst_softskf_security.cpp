// The SKF library at $SOFTSKF_LIB (softskf): PINs and their counters, security state, device
// authentication, key pairs, public key blobs, certificates, signatures and files.
#include "skf_testlib.h"
#include "softskf_fixture.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QtTest>
#include <cstring>
#include <functional>
#include <openssl/evp.h>

namespace {

const QByteArray kAuthKey = "1234567812345678";

BYTE* ub(QByteArray& bytes)
{
    return reinterpret_cast<BYTE*>(bytes.data());
}

// Whether a public key blob holds the key of a certificate, right-aligned in its fields.
bool blobIsCertKey(const QByteArray& blob, const QByteArray& cert, int bits)
{
    QByteArray first, second;
    bool rsa = false;
    if (!certificateKey(cert, &first, &second, &rsa))
        return false;
    if (rsa) {
        const RSAPUBLICKEYBLOB* b = reinterpret_cast<const RSAPUBLICKEYBLOB*>(blob.constData());
        return blob.size() == int(sizeof *b) && b->AlgID == SGD_RSA && b->BitLen == ULONG(bits) &&
               QByteArray(reinterpret_cast<const char*>(b->Modulus), MAX_RSA_MODULUS_LEN) ==
                   QByteArray(MAX_RSA_MODULUS_LEN - first.size(), '\0') + first &&
               QByteArray(reinterpret_cast<const char*>(b->PublicExponent), 4) == second;
    }
    const ECCPUBLICKEYBLOB* b = reinterpret_cast<const ECCPUBLICKEYBLOB*>(blob.constData());
    return blob.size() == int(sizeof *b) && b->BitLen == ULONG(bits) &&
           QByteArray(reinterpret_cast<const char*>(b->XCoordinate), 64) == QByteArray(32, '\0') + first &&
           QByteArray(reinterpret_cast<const char*>(b->YCoordinate), 64) == QByteArray(32, '\0') + second;
}

} // namespace

class tst_SoftSkfSecurity : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void pinRetriesCountDownAndLock();
    void pinDefaultFlagAndChange();
    void persistenceAcrossRestart();
    void containerDeletionNeedsUserPin();
    void devAuth_data();
    void devAuth();
    void devAuthGuardsApplicationsAndKeyChange();
    void tokenEncryptionIsSm4();
    void certificatesStoredUnchanged();
    void containerTypes_data()
    {
        addKeyKinds();
        QTest::newRow("empty") << "empty" << 0 << 0;
    }
    void containerTypes();
    void signatures_data() { addKeyKinds(); }
    void signatures();
    void keyGeneration_data() { addKeyKinds(); }
    void keyGeneration();
    void files_data();
    void files();
    void privateOperationsNeedUserPin_data();
    void privateOperationsNeedUserPin();

private:
    // The kinds of key pair a container holds: kind, bits and the container's type.
    static void addKeyKinds();

    SkfTestLib m_skf;
    SoftSkfFixture m_fx;
};

void tst_SoftSkfSecurity::initTestCase()
{
    QVERIFY2(m_skf.load(), "cannot load $SOFTSKF_LIB");
}

void tst_SoftSkfSecurity::init()
{
    QVERIFY(m_fx.reset());
    QVERIFY(m_fx.createToken(SoftSkfFixture::TokenSpec()));
    QVERIFY(m_fx.addContainer("TOKEN1", "c1", "sm2"));
    QVERIFY(m_fx.addCert("TOKEN1", "c1", true, "Signer", 100));
}

void tst_SoftSkfSecurity::pinRetriesCountDownAndLock()
{
    QVERIFY(m_fx.setPin("TOKEN1", "user", QString(), 3));
    HAPPLICATION app = m_skf.openApp(m_skf.connect("TOKEN1"));
    QVERIFY(app);
    char wrong[] = "wrong-pin";
    char right[] = "12345678";
    ULONG retry = 99;
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, wrong, &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(retry, ULONG(2));
    // A correct PIN restores the counter.
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, right, &retry), ULONG(SAR_OK));
    QCOMPARE(
        m_fx.show("TOKEN1")["applications"].toArray()[0].toObject()["userPin"].toObject()["remainingRetries"].toInt(),
        3);
    const ULONG expected[][2] = {
        {SAR_PIN_INCORRECT, 2}, {SAR_PIN_INCORRECT, 1}, {SAR_PIN_LOCKED, 0}, {SAR_PIN_LOCKED, 0}};
    for (const auto& e : expected) {
        QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, wrong, &retry), e[0]);
        QCOMPARE(retry, e[1]);
    }
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, right, &retry), ULONG(SAR_PIN_LOCKED));
    QCOMPARE(retry, ULONG(0));
    QVERIFY(m_fx.show("TOKEN1")["applications"].toArray()[0].toObject()["userPin"].toObject()["locked"].toBool());
    char newPin[] = "87654321";
    QCOMPARE(m_skf.SKF_UnblockPIN(app, wrong, newPin, &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(retry, ULONG(5));
    QCOMPARE(m_skf.SKF_UnblockPIN(app, right, newPin, &retry), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, right, &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, newPin, &retry), ULONG(SAR_OK));
    QCOMPARE(retry, ULONG(3));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, 7, right, &retry), ULONG(SAR_USER_TYPE_INVALID));
}

void tst_SoftSkfSecurity::pinDefaultFlagAndChange()
{
    QVERIFY(m_fx.setPin("TOKEN1", "user", QString(), -1, -1, 1));
    HAPPLICATION app = m_skf.openApp(m_skf.connect("TOKEN1"));
    ULONG max = 0, remain = 0, retry = 0;
    SkfBoolScratch flag;
    flag.wide = 0xAAAAAAAAAAAAAAAAull;
    QCOMPARE(m_skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &flag.value), ULONG(SAR_OK));
    QCOMPARE(flag.wide, 0xAAAAAAAA00000001ull); // exactly four bytes written
    QCOMPARE(max, ULONG(6));
    QCOMPARE(remain, ULONG(6));
    QCOMPARE(m_skf.SKF_GetPINInfo(app, ADMIN_TYPE, &max, &remain, &flag.value), ULONG(SAR_OK));
    QCOMPARE(flag.value, BOOL(FALSE));
    char right[] = "12345678", shortPin[] = "12345", newPin[] = "Abcdef12";
    QCOMPARE(m_skf.SKF_ChangePIN(app, USER_TYPE, right, shortPin, &retry), ULONG(SAR_PIN_LEN_RANGE));
    QCOMPARE(m_skf.SKF_ChangePIN(app, USER_TYPE, right, newPin, &retry), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &flag.value), ULONG(SAR_OK));
    QCOMPARE(flag.value, BOOL(FALSE));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, right, &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(m_skf.SKF_ChangePIN(app, USER_TYPE, right, newPin, &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(retry, ULONG(4));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, newPin, &retry), ULONG(SAR_OK));
    QJsonObject pin = m_fx.show("TOKEN1")["applications"].toArray()[0].toObject()["userPin"].toObject();
    QCOMPARE(pin["default"].toBool(), false);
    // The token keeps no PIN in clear.
    const QByteArray text = SoftSkfFixture::tokenState("TOKEN1");
    QVERIFY(!text.isEmpty() && !text.contains("Abcdef12") && !text.contains("12345678"));
}

void tst_SoftSkfSecurity::persistenceAcrossRestart()
{
    HAPPLICATION app = m_skf.openApp(m_skf.connect("TOKEN1"));
    ULONG retry = 0;
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("bad-pin-1"), &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(m_skf.SKF_SetLabel(m_skf.connect("TOKEN1"), const_cast<char*>("Persisted")), ULONG(SAR_OK));
    // A fresh process loading the library sees what this one changed.
    QCOMPARE(runSkfChildProcess({"info", "TOKEN1"}), QStringLiteral("label=Persisted user=5/6"));
}

void tst_SoftSkfSecurity::containerDeletionNeedsUserPin()
{
    QVERIFY(m_fx.addContainer("TOKEN1", "c2", "empty"));
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    char c1[] = "c1", c2[] = "c2", c3[] = "c3";
    HCONTAINER h = nullptr;
    ULONG retry = 0;
    QCOMPARE(m_skf.SKF_DeleteContainer(app, c1), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(m_skf.SKF_CreateContainer(app, c3, &h), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(m_fx.show("TOKEN1")["applications"].toArray()[0].toObject()["containers"].toArray().size(), 2);
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("12345678"), &retry), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DeleteContainer(app, c1), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DeleteContainer(app, c1), ULONG(SAR_FILE_NOT_EXIST));
    // Closing the application keeps the security state; another handle to it shares it.
    QCOMPARE(m_skf.SKF_CloseApplication(app), ULONG(SAR_OK));
    app = m_skf.openApp(dev);
    QCOMPARE(m_skf.SKF_CreateContainer(app, c3, &h), ULONG(SAR_OK));
    ULONG type = 9;
    QCOMPARE(m_skf.SKF_GetContainerType(h, &type), ULONG(SAR_OK));
    QCOMPARE(type, ULONG(0));
    QCOMPARE(m_skf.SKF_ClearSecureState(app), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DeleteContainer(app, c2), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("12345678"), &retry), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("bad-pin-1"), &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(m_skf.SKF_DeleteContainer(app, c2), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(splitNameList(m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumContainer(app, b, l); })),
             (QStringList{"c2", "c3"}));
}

void tst_SoftSkfSecurity::devAuth_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<int>("randomLen");
    QTest::addColumn<bool>("pkcs5");
    QTest::addColumn<ULONG>("expected");
    QTest::newRow("8 random bytes, right key") << kAuthKey << 8 << false << ULONG(SAR_OK);
    QTest::newRow("16 random bytes, right key") << kAuthKey << 16 << false << ULONG(SAR_OK);
    QTest::newRow("32 random bytes, right key") << kAuthKey << 32 << false << ULONG(SAR_OK);
    QTest::newRow("PKCS#5 block after the answer") << kAuthKey << 8 << true << ULONG(SAR_OK);
    QTest::newRow("wrong key") << QByteArray("1234567812345679") << 8 << false << ULONG(SAR_FAIL);
    QTest::newRow("zero key") << QByteArray(16, '\0') << 8 << false << ULONG(SAR_FAIL);
}

void tst_SoftSkfSecurity::devAuth()
{
    QFETCH(QByteArray, key);
    QFETCH(int, randomLen);
    QFETCH(bool, pkcs5);
    QFETCH(ULONG, expected);
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    QCOMPARE(m_skf.devAuth(dev, key, ULONG(randomLen), pkcs5), expected);
    HAPPLICATION app = nullptr;
    char name[] = "NEWAPP", pin[] = "12345678";
    ULONG rc = m_skf.SKF_CreateApplication(dev, name, pin, 6, pin, 6, SECURE_ANYONE_ACCOUNT, &app);
    QCOMPARE(rc, ULONG(expected == SAR_OK ? SAR_OK : SAR_USER_NOT_LOGGED_IN));
}

void tst_SoftSkfSecurity::devAuthGuardsApplicationsAndKeyChange()
{
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    char app1[] = "ORVANE-PKIAPP", app2[] = "SECOND", pin[] = "12345678";
    BYTE newKey[16];
    std::memcpy(newKey, "ABCDEFGHIJKLMNOP", 16);
    HAPPLICATION app = nullptr;
    QCOMPARE(m_skf.SKF_DeleteApplication(dev, app1), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(m_skf.SKF_ChangeDevAuthKey(dev, newKey, 16), ULONG(SAR_USER_NOT_LOGGED_IN));
    // DevAuth without a fresh challenge fails, and a challenge answers once.
    BYTE d1[16] = {0};
    QCOMPARE(m_skf.SKF_DevAuth(dev, d1, 16), ULONG(SAR_FAIL));
    QCOMPARE(m_skf.devAuth(dev, kAuthKey), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DevAuth(dev, d1, 16), ULONG(SAR_FAIL));
    QCOMPARE(m_skf.SKF_DeleteApplication(dev, app1), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(m_skf.devAuth(dev, kAuthKey), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DeleteApplication(dev, app1), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DeleteApplication(dev, app1), ULONG(SAR_APPLICATION_NOT_EXISTS));
    QCOMPARE(m_skf.SKF_CreateApplication(dev, app2, pin, 6, pin, 6, SECURE_ANYONE_ACCOUNT, &app), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_CreateApplication(dev, app2, pin, 6, pin, 6, SECURE_ANYONE_ACCOUNT, &app),
             ULONG(SAR_APPLICATION_EXISTS));
    QCOMPARE(m_skf.SKF_CreateApplication(dev, app1, const_cast<char*>("123"), 6, pin, 6, 0xFF, &app),
             ULONG(SAR_PIN_LEN_RANGE));
    QCOMPARE(splitNameList(m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumApplication(dev, b, l); })),
             QStringList{"SECOND"});
    QCOMPARE(m_skf.SKF_ChangeDevAuthKey(dev, newKey, 8), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_skf.SKF_ChangeDevAuthKey(dev, newKey, 16), ULONG(SAR_OK));
    QCOMPARE(m_fx.show("TOKEN1")["authKey"].toString(), QString::fromLatin1(QByteArray("ABCDEFGHIJKLMNOP").toHex()));
    DEVHANDLE other = m_skf.connect("TOKEN1");
    QCOMPARE(m_skf.devAuth(other, kAuthKey), ULONG(SAR_FAIL));
    QCOMPARE(m_skf.devAuth(other, "ABCDEFGHIJKLMNOP"), ULONG(SAR_OK));
}

void tst_SoftSkfSecurity::tokenEncryptionIsSm4()
{
    // The published SM4 example: key and plaintext 0123456789abcdeffedcba9876543210.
    QByteArray key = QByteArray::fromHex("0123456789abcdeffedcba9876543210");
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HANDLE h = nullptr;
    QCOMPARE(m_skf.SKF_SetSymmKey(dev, reinterpret_cast<BYTE*>(key.data()), SGD_SM4_ECB, &h), ULONG(SAR_OK));
    BYTE out[32];
    ULONG len = sizeof out;
    QCOMPARE(m_skf.SKF_Encrypt(h, reinterpret_cast<BYTE*>(key.data()), 16, out, &len), ULONG(SAR_NOTINITIALIZEERR));
    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof param);
    QCOMPARE(m_skf.SKF_EncryptInit(h, param), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_Encrypt(h, reinterpret_cast<BYTE*>(key.data()), 15, out, &len), ULONG(SAR_INDATALENERR));
    ULONG needed = 0;
    QCOMPARE(m_skf.SKF_Encrypt(h, reinterpret_cast<BYTE*>(key.data()), 16, nullptr, &needed), ULONG(SAR_OK));
    QCOMPARE(needed, ULONG(16));
    QCOMPARE(m_skf.SKF_Encrypt(h, reinterpret_cast<BYTE*>(key.data()), 16, out, &len), ULONG(SAR_OK));
    QCOMPARE(QByteArray(reinterpret_cast<char*>(out), int(len)).toHex(),
             QByteArray("681edf34d206965e86b3e94f536e4246"));
    QCOMPARE(sm4EcbEncrypt(key, key).toHex(), QByteArray("681edf34d206965e86b3e94f536e4246"));
    QCOMPARE(m_skf.SKF_SetSymmKey(dev, reinterpret_cast<BYTE*>(key.data()), SGD_SM1_ECB, &h),
             ULONG(SAR_NOTSUPPORTYETERR));
}

void tst_SoftSkfSecurity::certificatesStoredUnchanged()
{
    QVERIFY(m_fx.addContainer("TOKEN1", "e", "empty"));
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HCONTAINER c = m_skf.openContainer(m_skf.openApp(dev), "e");
    ULONG rc = 0;
    QCOMPARE(m_skf.exportCert(c, true, &rc), QByteArray());
    QCOMPARE(rc, ULONG(SAR_CERTNOTFOUNTERR));
    m_skf.exportPublicKey(c, true, &rc);
    QCOMPARE(rc, ULONG(SAR_KEYNOTFOUNTERR));
    QByteArray pem = "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n";
    QByteArray binary("\x30\x00\x00\xff\x00", 5);
    QCOMPARE(m_skf.SKF_ImportCertificate(c, TRUE, reinterpret_cast<BYTE*>(pem.data()), ULONG(pem.size())),
             ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_ImportCertificate(c, FALSE, reinterpret_cast<BYTE*>(binary.data()), ULONG(binary.size())),
             ULONG(SAR_OK));
    QCOMPARE(m_skf.exportCert(c, true), pem);
    QCOMPARE(m_skf.exportCert(c, false), binary);
    QCOMPARE(m_fx.certDer("TOKEN1", "e", true), pem);
    QCOMPARE(m_fx.certDer("TOKEN1", "e", false), binary);
    QByteArray der = m_fx.certDer("TOKEN1", "c1", true);
    HCONTAINER c1 = m_skf.openContainer(m_skf.openApp(dev), "c1");
    QCOMPARE(m_skf.exportCert(c1, true), der);
    m_skf.exportCert(c1, false, &rc);
    QCOMPARE(rc, ULONG(SAR_CERTNOTFOUNTERR));
}

void tst_SoftSkfSecurity::containerTypes()
{
    QFETCH(QString, kind);
    QFETCH(int, type);
    QVERIFY(m_fx.addContainer("TOKEN1", "t", kind));
    HCONTAINER c = m_skf.openContainer(m_skf.openApp(m_skf.connect("TOKEN1")), "t");
    ULONG t = 99;
    QCOMPARE(m_skf.SKF_GetContainerType(c, &t), ULONG(SAR_OK));
    QCOMPARE(t, ULONG(type));
    QByteArray info(16, '\xEE');
    QCOMPARE(m_skf.SKF_ExtGetContainerInfo(c, reinterpret_cast<ContainerInfo*>(info.data())), ULONG(SAR_OK));
    QCOMPARE(info, char(type) + QByteArray(15, '\0'));
}

void tst_SoftSkfSecurity::signatures()
{
    QFETCH(QString, kind);
    QFETCH(int, bits);
    QVERIFY(m_fx.addContainer("TOKEN1", "k", kind));
    QVERIFY(m_fx.addCert("TOKEN1", "k", true, "Signer", 10));
    QVERIFY(m_fx.addCert("TOKEN1", "k", false, "E", 10));
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    HCONTAINER c = m_skf.openContainer(app, "k");
    QVERIFY(c && m_skf.loginUser(app));
    // Each pair's public key blob is the key its certificate certifies; the two pairs differ.
    for (bool sign : {true, false})
        QVERIFY(blobIsCertKey(m_skf.exportPublicKey(c, sign), m_skf.exportCert(c, sign), bits));
    QVERIFY(m_skf.exportPublicKey(c, true) != m_skf.exportPublicKey(c, false));
    QByteArray cert = m_skf.exportCert(c, true);
    QByteArray blob = m_skf.exportPublicKey(c, true);
    QByteArray message = "text signed with " + kind.toUtf8();
    ECCSIGNATUREBLOB ecc;
    std::memset(&ecc, 0xEE, sizeof ecc);
    BYTE buf[512];
    ULONG len = sizeof buf;
    if (kind == "sm2") {
        // The caller hashes Z (from the exported key and the standard ID) and the message.
        auto* pub = reinterpret_cast<ECCPUBLICKEYBLOB*>(blob.data());
        QByteArray e = sm2Digest(QByteArray(reinterpret_cast<char*>(pub->XCoordinate) + 32, 32),
                                 QByteArray(reinterpret_cast<char*>(pub->YCoordinate) + 32, 32), message);
        QCOMPARE(m_skf.SKF_ECCSignData(c, ub(e), 31, &ecc), ULONG(SAR_INDATALENERR));
        QCOMPARE(m_skf.SKF_ECCSignData(c, ub(e), 32, &ecc), ULONG(SAR_OK));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(ecc.r), 32) + QByteArray(reinterpret_cast<char*>(ecc.s), 32),
                 QByteArray(64, '\0'));
        QVERIFY(opensslVerifies(cert, message, eccSignatureDer(ecc)));
        QVERIFY(!opensslVerifies(cert, message, eccSignatureDer(ecc), "8765432187654321"));
        QCOMPARE(m_skf.SKF_ECCVerify(dev, pub, ub(e), 32, &ecc), ULONG(SAR_OK));
        e[5] = char(e[5] ^ 1);
        QCOMPARE(m_skf.SKF_ECCVerify(dev, pub, ub(e), 32, &ecc), ULONG(SAR_FAIL));
        pub->YCoordinate[63] ^= 1; // off the curve
        QCOMPARE(m_skf.SKF_ECCVerify(dev, pub, ub(e), 32, &ecc), ULONG(SAR_INVALIDPARAMERR));
        QCOMPARE(m_skf.SKF_RSASignData(c, ub(e), 32, buf, &len), ULONG(SAR_KEYINFOTYPEERR));
        return;
    }
    unsigned char hash[32];
    QVERIFY(EVP_Digest(message.constData(), size_t(message.size()), hash, nullptr, EVP_sha256(), nullptr));
    QByteArray digestInfo =
        QByteArray::fromHex("3031300d060960864801650304020105000420") + QByteArray(reinterpret_cast<char*>(hash), 32);
    QCOMPARE(m_skf.SKF_RSASignData(c, ub(digestInfo), ULONG(digestInfo.size()), buf, &len), ULONG(SAR_OK));
    QCOMPARE(len, ULONG(bits / 8));
    QByteArray sig(reinterpret_cast<char*>(buf), int(len));
    QVERIFY(opensslVerifies(cert, message, sig));
    auto* pub = reinterpret_cast<RSAPUBLICKEYBLOB*>(blob.data());
    QCOMPARE(m_skf.SKF_RSAVerify(dev, pub, ub(digestInfo), ULONG(digestInfo.size()), ub(sig), len), ULONG(SAR_OK));
    sig[10] = char(sig[10] ^ 1);
    QCOMPARE(m_skf.SKF_RSAVerify(dev, pub, ub(digestInfo), ULONG(digestInfo.size()), ub(sig), len), ULONG(SAR_FAIL));
    QByteArray tooLong(bits / 8 - 10, 'L');
    QCOMPARE(m_skf.SKF_RSASignData(c, ub(tooLong), ULONG(tooLong.size()), buf, &len), ULONG(SAR_INDATALENERR));
    QCOMPARE(m_skf.SKF_ECCSignData(c, ub(digestInfo), 32, &ecc), ULONG(SAR_KEYINFOTYPEERR));
}

void tst_SoftSkfSecurity::addKeyKinds()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("type"); // the container's type
    QTest::newRow("sm2") << "sm2" << 256 << 2;
    QTest::newRow("rsa1024") << "rsa1024" << 1024 << 1;
    QTest::newRow("rsa2048") << "rsa2048" << 2048 << 1;
}

void tst_SoftSkfSecurity::keyGeneration()
{
    QFETCH(QString, kind);
    QFETCH(int, bits);
    QFETCH(int, type);
    QVERIFY(m_fx.addContainer("TOKEN1", "g", "empty"));
    HAPPLICATION app = m_skf.openApp(m_skf.connect("TOKEN1"));
    HCONTAINER c = m_skf.openContainer(app, "g");
    QVERIFY(c && m_skf.loginUser(app));
    auto generate = [&](const QString& k, QByteArray* blob) {
        if (k == "sm2") {
            blob->fill('\xEE', sizeof(ECCPUBLICKEYBLOB));
            return m_skf.SKF_GenECCKeyPair(c, SGD_SM2_1, reinterpret_cast<ECCPUBLICKEYBLOB*>(blob->data()));
        }
        blob->fill('\xEE', sizeof(RSAPUBLICKEYBLOB));
        return m_skf.SKF_GenRSAKeyPair(c, k == "rsa1024" ? 1024 : 2048,
                                       reinterpret_cast<RSAPUBLICKEYBLOB*>(blob->data()));
    };
    QByteArray blob, again, other;
    QCOMPARE(generate(kind, &blob), ULONG(SAR_OK));
    ULONG t = 0;
    QCOMPARE(m_skf.SKF_GetContainerType(c, &t), ULONG(SAR_OK));
    QCOMPARE(t, ULONG(type));
    QCOMPARE(m_skf.exportPublicKey(c, true), blob);
    // A certificate issued afterwards certifies the generated key.
    QVERIFY(m_fx.addCert("TOKEN1", "g", true, "Generated", 30));
    QVERIFY(blobIsCertKey(blob, m_skf.exportCert(c, true), bits));
    // A new key pair replaces the old one, whose certificate goes with it.
    QCOMPARE(generate(kind, &again), ULONG(SAR_OK));
    QVERIFY(again != blob);
    ULONG rc = 0;
    m_skf.exportCert(c, true, &rc);
    QCOMPARE(rc, ULONG(SAR_CERTNOTFOUNTERR));
    // A container keeps to one algorithm.
    QCOMPARE(generate(kind == "sm2" ? "rsa1024" : "sm2", &other), ULONG(SAR_KEYINFOTYPEERR));
    QCOMPARE(m_skf.exportPublicKey(c, true), again);
    QJsonObject stored =
        m_fx.show("TOKEN1")["applications"].toArray()[0].toObject()["containers"].toArray()[1].toObject();
    QCOMPARE(stored["keyBits"].toInt(), bits);
}

void tst_SoftSkfSecurity::files_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<ULONG>("rights"); // of the application for create and delete, else of the file
    QTest::addColumn<QString>("login");
    QTest::addColumn<ULONG>("expected");
    const ULONG user = SECURE_USER_ACCOUNT, adm = SECURE_ADM_ACCOUNT, anyone = SECURE_ANYONE_ACCOUNT;
    QTest::newRow("create, user") << "create" << user << "user" << ULONG(SAR_OK);
    QTest::newRow("create, user right, SO") << "create" << user << "admin" << ULONG(SAR_USER_NOT_LOGGED_IN);
    QTest::newRow("create, SO or user, SO") << "create" << (adm | user) << "admin" << ULONG(SAR_OK);
    QTest::newRow("create, never") << "create" << ULONG(0) << "admin" << ULONG(SAR_FAIL);
    QTest::newRow("create, too big") << "create too big" << anyone << "none" << ULONG(SAR_NO_ROOM);
    QTest::newRow("create, exists") << "create existing" << anyone << "none" << ULONG(SAR_FILE_ALREADY_EXIST);
    QTest::newRow("delete, user") << "delete" << user << "user" << ULONG(SAR_OK);
    QTest::newRow("delete, SO right, user") << "delete" << adm << "user" << ULONG(SAR_USER_NOT_LOGGED_IN);
    QTest::newRow("delete, missing") << "delete missing" << anyone << "none" << ULONG(SAR_FILE_NOT_EXIST);
    QTest::newRow("write, user") << "write" << user << "user" << ULONG(SAR_OK);
    QTest::newRow("write, SO right, user") << "write" << adm << "user" << ULONG(SAR_USER_NOT_LOGGED_IN);
    QTest::newRow("write, never") << "write" << ULONG(0) << "admin" << ULONG(SAR_FAIL);
    QTest::newRow("write, past the end") << "write past end" << anyone << "none" << ULONG(SAR_INDATALENERR);
    QTest::newRow("read, anyone") << "read" << anyone << "none" << ULONG(SAR_OK);
    QTest::newRow("read, user right, SO") << "read" << user << "admin" << ULONG(SAR_USER_NOT_LOGGED_IN);
    QTest::newRow("read, past the end") << "read past end" << anyone << "none" << ULONG(SAR_INDATALENERR);
}

void tst_SoftSkfSecurity::files()
{
    QFETCH(QString, op);
    QFETCH(ULONG, rights);
    QFETCH(QString, login);
    QFETCH(ULONG, expected);
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    QCOMPARE(m_skf.devAuth(dev, kAuthKey), ULONG(SAR_OK));
    char appName[] = "FILES", pin[] = "12345678", f1[] = "f1", f2[] = "f2", missing[] = "missing";
    bool appRights = op.startsWith("create") || op.startsWith("delete");
    HAPPLICATION app = nullptr;
    QCOMPARE(
        m_skf.SKF_CreateApplication(dev, appName, pin, 6, pin, 6, appRights ? rights : SECURE_ANYONE_ACCOUNT, &app),
        ULONG(SAR_OK));
    QString path = SoftSkfFixture::tempPath("file.bin");
    QVERIFY(writeFile(path, "0123456789abcdef"));
    QVERIFY(m_fx.run({"add-file", "TOKEN1", "FILES", "f1", "--from", path, "--read-rights",
                      QString::number(op.startsWith("read") ? rights : 0xFF), "--write-rights",
                      QString::number(op.startsWith("write") ? rights : 0xFF)}));
    ULONG retry = 0;
    if (login != "none")
        QCOMPARE(m_skf.SKF_VerifyPIN(app, login == "user" ? USER_TYPE : ADMIN_TYPE, pin, &retry), ULONG(SAR_OK));
    DEVINFO info;
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_OK));
    const ULONG freeBefore = info.FreeSpace;
    const QByteArray before = SoftSkfFixture::tokenState("TOKEN1");
    QByteArray data = "WXYZ";
    BYTE buf[64];
    ULONG len = sizeof buf, rc = 0;
    if (op == "create")
        rc = m_skf.SKF_CreateFile(app, f2, 100, SECURE_ANYONE_ACCOUNT, SECURE_USER_ACCOUNT);
    else if (op == "create too big")
        rc = m_skf.SKF_CreateFile(app, f2, freeBefore + 1, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT);
    else if (op == "create existing")
        rc = m_skf.SKF_CreateFile(app, f1, 4, SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT);
    else if (op.startsWith("delete"))
        rc = m_skf.SKF_DeleteFile(app, op == "delete" ? f1 : missing);
    else if (op.startsWith("write"))
        rc = m_skf.SKF_WriteFile(app, f1, op == "write" ? 4 : 13, ub(data), 4);
    else
        rc = m_skf.SKF_ReadFile(app, f1, op == "read" ? 2 : 17, 100, buf, &len);
    QCOMPARE(rc, expected);
    QStringList names =
        splitNameList(m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumFiles(app, b, l); }));
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_OK));
    if (rc != SAR_OK) {
        QCOMPARE(SoftSkfFixture::tokenState("TOKEN1"), before);
        QCOMPARE(names, QStringList{"f1"});
        return;
    }
    if (op == "create") {
        QCOMPARE(names, (QStringList{"f1", "f2"}));
        QCOMPARE(info.FreeSpace, freeBefore - 100);
        FILEATTRIBUTE attr;
        QCOMPARE(m_skf.SKF_GetFileInfo(app, f2, &attr), ULONG(SAR_OK));
        QCOMPARE(QByteArray(attr.FileName, 3), QByteArray("f2\0", 3));
        QCOMPARE(attr.FileSize, ULONG(100));
        QCOMPARE(attr.ReadRights, ULONG(SECURE_ANYONE_ACCOUNT));
        QCOMPARE(attr.WriteRights, ULONG(SECURE_USER_ACCOUNT));
    } else if (op == "delete") {
        QVERIFY(names.isEmpty());
        QCOMPARE(info.FreeSpace, freeBefore + 16);
    } else {
        QCOMPARE(info.FreeSpace, freeBefore);
        if (op == "write")
            QCOMPARE(m_skf.SKF_ReadFile(app, f1, 0, 100, buf, &len), ULONG(SAR_OK));
        QCOMPARE(QByteArray(reinterpret_cast<char*>(buf), int(len)),
                 QByteArray(op == "write" ? "0123WXYZ89abcdef" : "23456789abcdef"));
    }
    // Deleting the application gives its files' space back.
    QCOMPARE(m_skf.SKF_DeleteApplication(dev, appName), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_OK));
    QCOMPARE(info.FreeSpace, ULONG(SoftSkfFixture::TokenSpec().freeSpace));
}

void tst_SoftSkfSecurity::privateOperationsNeedUserPin_data()
{
    QTest::addColumn<QString>("call");
    for (const char* c : {"ECCSignData", "RSASignData", "GenECCKeyPair", "GenRSAKeyPair", "CreateFile", "DeleteFile",
                          "WriteFile", "ReadFile"})
        QTest::newRow(c) << QString::fromLatin1(c);
}

void tst_SoftSkfSecurity::privateOperationsNeedUserPin()
{
    QFETCH(QString, call);
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    QCOMPARE(m_skf.devAuth(dev, kAuthKey), ULONG(SAR_OK));
    char appName[] = "USERONLY", pin[] = "12345678", wrong[] = "wrong-pin", f1[] = "f1", f2[] = "f2";
    HAPPLICATION app = nullptr;
    QCOMPARE(m_skf.SKF_CreateApplication(dev, appName, pin, 6, pin, 6, SECURE_USER_ACCOUNT, &app), ULONG(SAR_OK));
    QString path = SoftSkfFixture::tempPath("file.bin");
    QVERIFY(writeFile(path, "0123456789abcdef"));
    QVERIFY(m_fx.run({"add-file", "TOKEN1", "USERONLY", "f1", "--from", path, "--read-rights", "16"}));
    QVERIFY(m_fx.run({"add-container", "TOKEN1", "s", "sm2", "--app", "USERONLY"}));
    QVERIFY(m_fx.run({"add-container", "TOKEN1", "r", "rsa1024", "--app", "USERONLY"}));
    HCONTAINER s = m_skf.openContainer(app, "s"), r = m_skf.openContainer(app, "r");
    QVERIFY(s && r);
    ECCSIGNATUREBLOB sig;
    ECCPUBLICKEYBLOB ecc;
    RSAPUBLICKEYBLOB rsa;
    BYTE buf[256] = {1};
    ULONG len = sizeof buf, retry = 0;
    const SkfTestLib& k = m_skf;
    QMap<QString, std::function<ULONG()>> calls{
        {"ECCSignData", [&] { return k.SKF_ECCSignData(s, buf, 32, &sig); }},
        {"RSASignData", [&] { return k.SKF_RSASignData(r, buf, 32, buf, &len); }},
        {"GenECCKeyPair", [&] { return k.SKF_GenECCKeyPair(s, SGD_SM2_1, &ecc); }},
        {"GenRSAKeyPair", [&] { return k.SKF_GenRSAKeyPair(r, 1024, &rsa); }},
        {"CreateFile", [&] { return k.SKF_CreateFile(app, f2, 8, SECURE_ANYONE_ACCOUNT, SECURE_USER_ACCOUNT); }},
        {"DeleteFile", [&] { return k.SKF_DeleteFile(app, f1); }},
        {"WriteFile", [&] { return k.SKF_WriteFile(app, f1, 0, buf, 4); }},
        {"ReadFile", [&] { return k.SKF_ReadFile(app, f1, 0, 4, buf, &len); }},
    };
    QVERIFY(calls.contains(call));
    const QByteArray before = SoftSkfFixture::tokenState("TOKEN1");
    QCOMPARE(calls[call](), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(SoftSkfFixture::tokenState("TOKEN1"), before);
    // Wrong tries after a login take the rights away, also once the PIN is locked.
    QVERIFY(m_skf.loginUser(app));
    QVERIFY(m_fx.run({"set-pin", "TOKEN1", "user", "--remaining", "1", "--app", "USERONLY"}));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, wrong, &retry), ULONG(SAR_PIN_LOCKED));
    QCOMPARE(calls[call](), ULONG(SAR_USER_NOT_LOGGED_IN));
    QCOMPARE(m_skf.SKF_UnblockPIN(app, pin, pin, &retry), ULONG(SAR_OK));
    QVERIFY(m_skf.loginUser(app));
    QCOMPARE(calls[call](), ULONG(SAR_OK));
}

SKF_TEST_MAIN(tst_SoftSkfSecurity)

#include "tst_softskf_security.moc"
