// The SKF library at $SOFTSKF_LIB (softskf): PINs and their counters, security state, device
// authentication, key pairs, public key blobs and certificates.
#include "skf_testlib.h"
#include "softskf_fixture.h"

#include <QCoreApplication>
#include <QtTest>
#include <cstring>
#include <functional>

namespace {

const QByteArray kAuthKey = "1234567812345678";

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
    void publicKeyBlobs_data();
    void publicKeyBlobs();
    void certificatesStoredUnchanged();
    void containerTypes_data();
    void containerTypes();

private:
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
    QFile state(SoftSkfFixture::storeDir() + "/tokens/TOKEN1/token.state");
    QVERIFY(state.open(QIODevice::ReadOnly));
    QByteArray text = state.readAll();
    QVERIFY(!text.contains("Abcdef12") && !text.contains("12345678"));
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

void tst_SoftSkfSecurity::publicKeyBlobs_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("bits");
    QTest::newRow("sm2") << "sm2" << 256;
    QTest::newRow("rsa1024") << "rsa1024" << 1024;
    QTest::newRow("rsa2048") << "rsa2048" << 2048;
}

void tst_SoftSkfSecurity::publicKeyBlobs()
{
    QFETCH(QString, kind);
    QFETCH(int, bits);
    QVERIFY(m_fx.addContainer("TOKEN1", "k", kind));
    QVERIFY(m_fx.addCert("TOKEN1", "k", true, "S", 10));
    QVERIFY(m_fx.addCert("TOKEN1", "k", false, "E", 10));
    HCONTAINER c = m_skf.openContainer(m_skf.openApp(m_skf.connect("TOKEN1")), "k");
    QVERIFY(c);
    for (bool sign : {true, false}) {
        QByteArray first, second;
        bool rsa = false;
        QVERIFY(certificateKey(m_skf.exportCert(c, sign), &first, &second, &rsa));
        QByteArray blob = m_skf.exportPublicKey(c, sign);
        if (rsa) {
            QCOMPARE(blob.size(), int(sizeof(RSAPUBLICKEYBLOB)));
            const RSAPUBLICKEYBLOB* b = reinterpret_cast<const RSAPUBLICKEYBLOB*>(blob.constData());
            QCOMPARE(b->AlgID, ULONG(SGD_RSA));
            QCOMPARE(b->BitLen, ULONG(bits));
            QByteArray modulus(reinterpret_cast<const char*>(b->Modulus), MAX_RSA_MODULUS_LEN);
            QCOMPARE(modulus, QByteArray(MAX_RSA_MODULUS_LEN - first.size(), '\0') + first);
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(b->PublicExponent), 4), second);
        } else {
            QCOMPARE(blob.size(), int(sizeof(ECCPUBLICKEYBLOB)));
            const ECCPUBLICKEYBLOB* b = reinterpret_cast<const ECCPUBLICKEYBLOB*>(blob.constData());
            QCOMPARE(b->BitLen, ULONG(bits));
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(b->XCoordinate), 64), QByteArray(32, '\0') + first);
            QCOMPARE(QByteArray(reinterpret_cast<const char*>(b->YCoordinate), 64), QByteArray(32, '\0') + second);
        }
    }
    // The two key pairs of a container differ.
    QVERIFY(m_skf.exportPublicKey(c, true) != m_skf.exportPublicKey(c, false));
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

void tst_SoftSkfSecurity::containerTypes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("type");
    QTest::newRow("empty") << "empty" << 0;
    QTest::newRow("rsa1024") << "rsa1024" << 1;
    QTest::newRow("sm2") << "sm2" << 2;
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

int main(int argc, char** argv)
{
    int child = runSkfChild(argc, argv);
    if (child >= 0)
        return child;
    QCoreApplication app(argc, argv);
    tst_SoftSkfSecurity test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_softskf_security.moc"
