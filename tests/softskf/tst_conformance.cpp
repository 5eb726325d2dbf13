// Conformance of the SKF library at $SOFTSKF_LIB (softskf): exports, protocol rules, handles,
// PINs, security state, device authentication, containers, certificates, files, faults and counters.
#include "skf_testlib.h"
#include "softskf_fixture.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>
#include <cstring>
#include <functional>

namespace {

#define SKF_NAME_STRING(name) #name,

QByteArray nameOf(int length, char c = 'N')
{
    return QByteArray(length, c);
}

} // namespace

class tst_Conformance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void exportsEveryName();
    void unsupportedFunctionsChangeNothing();
    void enumDevLists_data();
    void enumDevLists();
    void twoCallProtocol_data();
    void twoCallProtocol();
    void badArguments_data();
    void badArguments();
    void invalidHandles_data();
    void invalidHandles();
    void devInfoFields();
    void devState();
    void removedTokenHandles();
    void changesFromAnotherProcess();
    void lockDev();
    void faultsAndLatency();
    void statsCountCalls();

private:
    SkfTestLib m_skf;
    SoftSkfFixture m_fx;
};

void tst_Conformance::initTestCase()
{
    QVERIFY2(m_skf.load(), "cannot load $SOFTSKF_LIB");
}

void tst_Conformance::init()
{
    QVERIFY(m_fx.reset());
    QVERIFY(m_fx.createToken(SoftSkfFixture::TokenSpec()));
    QVERIFY(m_fx.addContainer("TOKEN1", "c1", "sm2"));
    QVERIFY(m_fx.addCert("TOKEN1", "c1", true, "Signer", 100));
}

void tst_Conformance::exportsEveryName()
{
    QVERIFY2(m_skf.missing.isEmpty(), qPrintable(m_skf.missing.join(' ')));
    // Exactly these names leave the library: the bound ones, the lock pair and GenRSAKeyPair.
    QStringList expected{SKF_CALL_TABLE(SKF_NAME_STRING) "SKF_LockDev", "SKF_UnlockDev", "SKF_GenRSAKeyPair"};
    QProcess nm;
    nm.start("nm", {"-D", "--defined-only", "--format=posix", SoftSkfFixture::lib()});
    QVERIFY2(nm.waitForFinished(20000) && nm.exitCode() == 0, "nm from binutils is needed");
    QStringList exported;
    for (const QByteArray& line : nm.readAllStandardOutput().split('\n')) {
        QList<QByteArray> fields = line.split(' ');
        if (fields.size() >= 2 && fields[1] == "T")
            exported << QString::fromLatin1(fields[0]);
    }
    exported.sort();
    expected.sort();
    QCOMPARE(exported, expected);
}

void tst_Conformance::unsupportedFunctionsChangeNothing()
{
    const char* names[] = {"Transmit",
                           "ImportECCKeyPair",
                           "ECCExportSessionKey",
                           "ExtECCEncrypt",
                           "ExtECCDecrypt",
                           "ExtECCSign",
                           "ExtECCVerify",
                           "GenerateAgreementDataWithECC",
                           "GenerateAgreementDataAndKeyWithECC",
                           "GenerateKeyWithECC",
                           "ImportSessionKey",
                           "EncryptUpdate",
                           "EncryptFinal",
                           "DecryptInit",
                           "Decrypt",
                           "DecryptUpdate",
                           "DecryptFinal",
                           "DigestInit",
                           "Digest",
                           "DigestUpdate",
                           "DigestFinal",
                           "MacInit",
                           "Mac",
                           "MacUpdate",
                           "MacFinal"};
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    ULONG retry = 0;
    QVERIFY(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("12345678"), &retry) == SAR_OK);
    HCONTAINER c = m_skf.openContainer(app, "c1");
    QVERIFY(c);
    BYTE buf[512] = {0};
    ULONG len = sizeof buf;
    HANDLE h = nullptr;
    ECCPUBLICKEYBLOB ecc;
    std::memset(&ecc, 0, sizeof ecc);
    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof param);
    const SkfTestLib& s = m_skf;
    std::function<ULONG()> calls[] = {
        [&] { return s.SKF_Transmit(dev, buf, 4, buf, &len); },
        [&] { return s.SKF_ImportECCKeyPair(c, reinterpret_cast<ENVELOPEDKEYBLOB*>(buf)); },
        [&] { return s.SKF_ECCExportSessionKey(c, SGD_SM4_ECB, &ecc, reinterpret_cast<ECCCIPHERBLOB*>(buf), &h); },
        [&] { return s.SKF_ExtECCEncrypt(dev, &ecc, buf, 4, reinterpret_cast<ECCCIPHERBLOB*>(buf)); },
        [&] {
            return s.SKF_ExtECCDecrypt(dev, reinterpret_cast<ECCPRIVATEKEYBLOB*>(buf),
                                       reinterpret_cast<ECCCIPHERBLOB*>(buf), buf, &len);
        },
        [&] {
            return s.SKF_ExtECCSign(dev, reinterpret_cast<ECCPRIVATEKEYBLOB*>(buf), buf, 32,
                                    reinterpret_cast<ECCSIGNATUREBLOB*>(buf));
        },
        [&] { return s.SKF_ExtECCVerify(dev, &ecc, buf, 32, reinterpret_cast<ECCSIGNATUREBLOB*>(buf)); },
        [&] { return s.SKF_GenerateAgreementDataWithECC(c, SGD_SM2_2, &ecc, buf, 16, &h); },
        [&] { return s.SKF_GenerateAgreementDataAndKeyWithECC(c, SGD_SM2_2, &ecc, &ecc, &ecc, buf, 16, buf, 16, &h); },
        [&] { return s.SKF_GenerateKeyWithECC(c, &ecc, &ecc, buf, 16, &h); },
        [&] { return s.SKF_ImportSessionKey(c, SGD_SM4_ECB, buf, 16, &h); },
        [&] { return s.SKF_EncryptUpdate(c, buf, 16, buf, &len); },
        [&] { return s.SKF_EncryptFinal(c, buf, &len); },
        [&] { return s.SKF_DecryptInit(c, param); },
        [&] { return s.SKF_Decrypt(c, buf, 16, buf, &len); },
        [&] { return s.SKF_DecryptUpdate(c, buf, 16, buf, &len); },
        [&] { return s.SKF_DecryptFinal(c, buf, &len); },
        [&] { return s.SKF_DigestInit(dev, SGD_SM3, nullptr, nullptr, 0, &h); },
        [&] { return s.SKF_Digest(c, buf, 16, buf, &len); },
        [&] { return s.SKF_DigestUpdate(c, buf, 16); },
        [&] { return s.SKF_DigestFinal(c, buf, &len); },
        [&] { return s.SKF_MacInit(c, &param, &h); },
        [&] { return s.SKF_Mac(c, buf, 16, buf, &len); },
        [&] { return s.SKF_MacUpdate(c, buf, 16); },
        [&] { return s.SKF_MacFinal(c, buf, &len); },
    };
    QCOMPARE(sizeof calls / sizeof calls[0], sizeof names / sizeof names[0]);
    QByteArray before = SoftSkfFixture::tokenState("TOKEN1");
    for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
        QVERIFY2(calls[i]() == SAR_NOTSUPPORTYETERR, names[i]);
        QVERIFY2(h == nullptr, names[i]);
        QVERIFY2(SoftSkfFixture::tokenState("TOKEN1") == before, names[i]);
    }
    QCOMPARE(splitNameList(m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumContainer(app, b, l); })),
             QStringList{"c1"});
}

void tst_Conformance::enumDevLists_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<bool>("presentOnly");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("no token") << QStringList() << QStringList() << true << QByteArray(1, '\0');
    QTest::newRow("only absent, present asked") << QStringList() << QStringList{"B"} << true << QByteArray(1, '\0');
    QTest::newRow("only absent, all asked") << QStringList() << QStringList{"B"} << false << QByteArray("B\0\0", 3);
    QTest::newRow("two present") << QStringList{"A", "C"} << QStringList{"B"} << true << QByteArray("A\0C\0\0", 5);
    QTest::newRow("all") << QStringList{"A", "C"} << QStringList{"B"} << false << QByteArray("A\0B\0C\0\0", 7);
}

void tst_Conformance::enumDevLists()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    QFETCH(bool, presentOnly);
    QFETCH(QByteArray, expected);
    QVERIFY(m_fx.reset());
    for (const QString& n : present + absent) {
        SoftSkfFixture::TokenSpec spec;
        spec.name = n;
        spec.present = present.contains(n);
        QVERIFY(m_fx.createToken(spec));
    }
    ULONG rc = 0;
    QByteArray list =
        m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumDev(presentOnly ? TRUE : FALSE, b, l); }, &rc);
    QCOMPARE(rc, ULONG(SAR_OK));
    QCOMPARE(list, expected);
}

void tst_Conformance::twoCallProtocol_data()
{
    QTest::addColumn<QString>("what");
    for (const char* w : {"EnumDev", "EnumApplication", "EnumContainer", "ExportCertificate", "ExportPublicKey",
                          "EnumFiles", "ReadFile", "RSASignData"})
        QTest::newRow(w) << QString::fromLatin1(w);
}

void tst_Conformance::twoCallProtocol()
{
    QFETCH(QString, what);
    QVERIFY(m_fx.addContainer("TOKEN1", "c2", "empty"));
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    HCONTAINER c = m_skf.openContainer(app, "c1");
    QVERIFY(c);
    QString path = SoftSkfFixture::tempPath("file.bin");
    QVERIFY(writeFile(path, "file content"));
    QVERIFY(m_fx.run({"add-file", "TOKEN1", "ORVANE-PKIAPP", "f1", "--from", path}));
    QVERIFY(m_fx.run({"add-file", "TOKEN1", "ORVANE-PKIAPP", "f2", "--from", path}));
    QVERIFY(m_fx.addContainer("TOKEN1", "r", "rsa1024"));
    HCONTAINER r = m_skf.openContainer(app, "r");
    ULONG retry = 0;
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("12345678"), &retry), ULONG(SAR_OK));
    QByteArray data(36, 'D');
    char f1[] = "f1";
    std::function<ULONG(void*, ULONG*)> call;
    if (what == "EnumFiles")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_EnumFiles(app, static_cast<LPSTR>(b), l); };
    else if (what == "ReadFile")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_ReadFile(app, f1, 2, 1000, static_cast<BYTE*>(b), l); };
    else if (what == "RSASignData")
        call = [&](void* b, ULONG* l) {
            return m_skf.SKF_RSASignData(r, reinterpret_cast<BYTE*>(data.data()), 36, static_cast<BYTE*>(b), l);
        };
    else if (what == "EnumDev")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_EnumDev(TRUE, static_cast<LPSTR>(b), l); };
    else if (what == "EnumApplication")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_EnumApplication(dev, static_cast<LPSTR>(b), l); };
    else if (what == "EnumContainer")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_EnumContainer(app, static_cast<LPSTR>(b), l); };
    else if (what == "ExportCertificate")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_ExportCertificate(c, TRUE, static_cast<BYTE*>(b), l); };
    else
        call = [&](void* b, ULONG* l) { return m_skf.SKF_ExportPublicKey(c, TRUE, static_cast<BYTE*>(b), l); };

    // The size query must not read the incoming length.
    ULONG size = 0xDEADBEEF;
    QCOMPARE(call(nullptr, &size), ULONG(SAR_OK));
    QVERIFY(size > 0 && size < 100000);
    QByteArray small(int(size) - 1, '\xEE');
    ULONG smallLen = size - 1;
    QCOMPARE(call(small.data(), &smallLen), ULONG(SAR_BUFFER_TOO_SMALL));
    QCOMPARE(smallLen, size);
    QCOMPARE(small, QByteArray(int(size) - 1, '\xEE'));
    QByteArray big(int(size) + 10, '\xEE');
    ULONG bigLen = size + 10;
    QCOMPARE(call(big.data(), &bigLen), ULONG(SAR_OK));
    QCOMPARE(bigLen, size);
    QCOMPARE(big.mid(int(size)), QByteArray(10, '\xEE'));
    QByteArray exact(int(size), '\xEE');
    ULONG exactLen = size;
    QCOMPARE(call(exact.data(), &exactLen), ULONG(SAR_OK));
    QCOMPARE(exact, big.left(int(size)));
    QCOMPARE(call(exact.data(), nullptr), ULONG(SAR_INVALIDPARAMERR));
}

void tst_Conformance::badArguments_data()
{
    QTest::addColumn<QString>("call");
    for (const char* c : {"EnumDev null size",
                          "ConnectDev null name",
                          "ConnectDev null out",
                          "ConnectDev empty name",
                          "ConnectDev 64-byte name",
                          "GetDevState null",
                          "GetDevInfo null",
                          "SetLabel null",
                          "SetLabel 32 bytes",
                          "OpenApplication null",
                          "OpenApplication 65 bytes",
                          "VerifyPIN null PIN",
                          "VerifyPIN null count",
                          "GetPINInfo null flag",
                          "OpenContainer null",
                          "OpenContainer 65 bytes",
                          "CreateContainer 65 bytes",
                          "ImportCertificate null",
                          "ImportCertificate empty",
                          "GenRandom zero",
                          "DevAuth short",
                          "WaitForDevEvent null",
                          "CreateFile 33-byte name",
                          "CreateFile rights 0x100",
                          "WriteFile null data",
                          "ReadFile null length",
                          "GetFileInfo null",
                          "EnumFiles null size",
                          "DeleteFile empty name",
                          "ECCSignData null signature",
                          "RSASignData null length",
                          "GenECCKeyPair null blob",
                          "GenRSAKeyPair 512 bits",
                          "ECCVerify null blob",
                          "RSAVerify null signature"})
        QTest::newRow(c) << QString::fromLatin1(c);
}

void tst_Conformance::badArguments()
{
    QFETCH(QString, call);
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    HCONTAINER c = m_skf.openContainer(app, "c1");
    QVERIFY(c);
    ULONG retry = 0;
    QVERIFY(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("12345678"), &retry) == SAR_OK);
    DEVHANDLE out = nullptr;
    ULONG value = 0;
    BYTE buf[64] = {0};
    BYTE big[512] = {0};
    QByteArray n64 = nameOf(64), n65 = nameOf(65), n32 = nameOf(32), n33 = nameOf(33), empty(""), file("f1");
    QByteArray before = SoftSkfFixture::tokenState("TOKEN1");
    const SkfTestLib& s = m_skf;
    QMap<QString, std::function<ULONG()>> calls{
        {"EnumDev null size", [&] { return s.SKF_EnumDev(TRUE, nullptr, nullptr); }},
        {"ConnectDev null name", [&] { return s.SKF_ConnectDev(nullptr, &out); }},
        {"ConnectDev null out", [&] { return s.SKF_ConnectDev(const_cast<char*>("TOKEN1"), nullptr); }},
        {"ConnectDev empty name", [&] { return s.SKF_ConnectDev(empty.data(), &out); }},
        {"ConnectDev 64-byte name", [&] { return s.SKF_ConnectDev(n64.data(), &out); }},
        {"GetDevState null", [&] { return s.SKF_GetDevState(nullptr, &value); }},
        {"GetDevInfo null", [&] { return s.SKF_GetDevInfo(dev, nullptr); }},
        {"SetLabel null", [&] { return s.SKF_SetLabel(dev, nullptr); }},
        {"SetLabel 32 bytes", [&] { return s.SKF_SetLabel(dev, n32.data()); }},
        {"OpenApplication null", [&] { return s.SKF_OpenApplication(dev, nullptr, &out); }},
        {"OpenApplication 65 bytes", [&] { return s.SKF_OpenApplication(dev, n65.data(), &out); }},
        {"VerifyPIN null PIN", [&] { return s.SKF_VerifyPIN(app, USER_TYPE, nullptr, &value); }},
        {"VerifyPIN null count", [&] { return s.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("1"), nullptr); }},
        {"GetPINInfo null flag", [&] { return s.SKF_GetPINInfo(app, USER_TYPE, &value, &value, nullptr); }},
        {"OpenContainer null", [&] { return s.SKF_OpenContainer(app, nullptr, &out); }},
        {"OpenContainer 65 bytes", [&] { return s.SKF_OpenContainer(app, n65.data(), &out); }},
        {"CreateContainer 65 bytes", [&] { return s.SKF_CreateContainer(app, n65.data(), &out); }},
        {"ImportCertificate null", [&] { return s.SKF_ImportCertificate(c, TRUE, nullptr, 10); }},
        {"ImportCertificate empty", [&] { return s.SKF_ImportCertificate(c, TRUE, buf, 0); }},
        {"GenRandom zero", [&] { return s.SKF_GenRandom(dev, buf, 0); }},
        {"DevAuth short", [&] { return s.SKF_DevAuth(dev, buf, 8); }},
        {"WaitForDevEvent null", [&] { return s.SKF_WaitForDevEvent(nullptr, &value, &value); }},
        {"CreateFile 33-byte name", [&] { return s.SKF_CreateFile(app, n33.data(), 4, 0xFF, 0xFF); }},
        {"CreateFile rights 0x100", [&] { return s.SKF_CreateFile(app, file.data(), 4, 0x100, 0xFF); }},
        {"WriteFile null data", [&] { return s.SKF_WriteFile(app, file.data(), 0, nullptr, 4); }},
        {"ReadFile null length", [&] { return s.SKF_ReadFile(app, file.data(), 0, 4, buf, nullptr); }},
        {"GetFileInfo null", [&] { return s.SKF_GetFileInfo(app, file.data(), nullptr); }},
        {"EnumFiles null size", [&] { return s.SKF_EnumFiles(app, nullptr, nullptr); }},
        {"DeleteFile empty name", [&] { return s.SKF_DeleteFile(app, empty.data()); }},
        {"ECCSignData null signature", [&] { return s.SKF_ECCSignData(c, buf, 32, nullptr); }},
        {"RSASignData null length", [&] { return s.SKF_RSASignData(c, buf, 32, buf, nullptr); }},
        {"GenECCKeyPair null blob", [&] { return s.SKF_GenECCKeyPair(c, SGD_SM2_1, nullptr); }},
        {"GenRSAKeyPair 512 bits",
         [&] { return s.SKF_GenRSAKeyPair(c, 512, reinterpret_cast<RSAPUBLICKEYBLOB*>(big)); }},
        {"ECCVerify null blob",
         [&] { return s.SKF_ECCVerify(dev, nullptr, buf, 32, reinterpret_cast<ECCSIGNATUREBLOB*>(big)); }},
        {"RSAVerify null signature",
         [&] { return s.SKF_RSAVerify(dev, reinterpret_cast<RSAPUBLICKEYBLOB*>(big), buf, 32, nullptr, 128); }},
    };
    QVERIFY(calls.contains(call));
    QCOMPARE(calls[call](), ULONG(SAR_INVALIDPARAMERR));
    QVERIFY(out == nullptr);
    QCOMPARE(SoftSkfFixture::tokenState("TOKEN1"), before);
}

void tst_Conformance::invalidHandles_data()
{
    QTest::addColumn<QString>("call");
    for (const char* c :
         {"unknown device", "disconnected device", "closed application", "closed container",
          "container handle as application", "application handle as container", "device handle as key", "closed key",
          "null device", "closed application for files", "application handle as container for signing",
          "container handle as device for verifying", "device handle as container for key generation"})
        QTest::newRow(c) << QString::fromLatin1(c);
}

void tst_Conformance::invalidHandles()
{
    QFETCH(QString, call);
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    DEVHANDLE gone = m_skf.connect("TOKEN1");
    QCOMPARE(m_skf.SKF_DisConnectDev(gone), ULONG(SAR_OK));
    HAPPLICATION app = m_skf.openApp(dev);
    HAPPLICATION closedApp = m_skf.openApp(dev);
    QCOMPARE(m_skf.SKF_CloseApplication(closedApp), ULONG(SAR_OK));
    HCONTAINER c = m_skf.openContainer(app, "c1");
    HCONTAINER closedC = m_skf.openContainer(app, "c1");
    QCOMPARE(m_skf.SKF_CloseContainer(closedC), ULONG(SAR_OK));
    HANDLE key = nullptr;
    BYTE k[16] = {0};
    QCOMPARE(m_skf.SKF_SetSymmKey(dev, k, SGD_SM4_ECB, &key), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_CloseHandle(key), ULONG(SAR_OK));
    DEVINFO info;
    ULONG size = 0, type = 0;
    BYTE buf[32] = {0};
    ECCSIGNATUREBLOB sig;
    ECCPUBLICKEYBLOB ecc;
    RSAPUBLICKEYBLOB rsa;
    std::memset(&ecc, 0, sizeof ecc);
    BLOCKCIPHERPARAM param;
    std::memset(&param, 0, sizeof param);
    const SkfTestLib& s = m_skf;
    QMap<QString, std::function<ULONG()>> calls{
        {"unknown device", [&] { return s.SKF_GetDevInfo(reinterpret_cast<DEVHANDLE>(0x12345), &info); }},
        {"disconnected device", [&] { return s.SKF_EnumApplication(gone, nullptr, &size); }},
        {"closed application", [&] { return s.SKF_EnumContainer(closedApp, nullptr, &size); }},
        {"closed container", [&] { return s.SKF_GetContainerType(closedC, &type); }},
        {"container handle as application", [&] { return s.SKF_EnumContainer(c, nullptr, &size); }},
        {"application handle as container", [&] { return s.SKF_GetContainerType(app, &type); }},
        {"device handle as key", [&] { return s.SKF_EncryptInit(dev, param); }},
        {"closed key", [&] { return s.SKF_CloseHandle(key); }},
        {"null device", [&] { return s.SKF_GetDevInfo(nullptr, &info); }},
        {"closed application for files", [&] { return s.SKF_EnumFiles(closedApp, nullptr, &size); }},
        {"application handle as container for signing", [&] { return s.SKF_ECCSignData(app, buf, 32, &sig); }},
        {"container handle as device for verifying", [&] { return s.SKF_ECCVerify(c, &ecc, buf, 32, &sig); }},
        {"device handle as container for key generation", [&] { return s.SKF_GenRSAKeyPair(dev, 1024, &rsa); }},
    };
    QCOMPARE(calls[call](), ULONG(SAR_INVALIDHANDLEERR));
}

void tst_Conformance::devInfoFields()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "INFO";
    spec.serial = "SN0123456789";
    spec.label = "My label";
    spec.manufacturer = "Maker Ltd";
    spec.hwVersion = "2.7";
    spec.fwVersion = "3.1";
    spec.totalSpace = 100000;
    spec.freeSpace = 4321;
    QVERIFY(m_fx.createToken(spec));
    DEVHANDLE dev = m_skf.connect("INFO");
    QVERIFY(dev);
    QByteArray raw(sizeof(DEVINFO), '\xEE');
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, reinterpret_cast<DEVINFO*>(raw.data())), ULONG(SAR_OK));
    // Fixed byte offsets of the packed record.
    QCOMPARE(raw.mid(130, 9), QByteArray("My label\0", 9));
    QCOMPARE(raw.mid(162, 13), QByteArray("SN0123456789\0", 13));
    QCOMPARE(raw.mid(2, 10), QByteArray("Maker Ltd\0", 10));
    QCOMPARE(raw.mid(194, 4), QByteArray("\x02\x07\x03\x01", 4));
    const DEVINFO* info = reinterpret_cast<const DEVINFO*>(raw.constData());
    QCOMPARE(info->DevAuthAlgId, ULONG(SGD_SM4_ECB));
    QCOMPARE(info->TotalSpace, ULONG(100000));
    QCOMPARE(info->FreeSpace, ULONG(4321));
    QCOMPARE(raw.mid(230), QByteArray(64, '\0'));
}

void tst_Conformance::devState()
{
    QVERIFY(m_fx.createToken("OUT", false));
    ULONG state = 99;
    QCOMPARE(m_skf.SKF_GetDevState(const_cast<char*>("TOKEN1"), &state), ULONG(SAR_OK));
    QCOMPARE(state, ULONG(DEV_PRESENT_STATE));
    QCOMPARE(m_skf.SKF_GetDevState(const_cast<char*>("OUT"), &state), ULONG(SAR_OK));
    QCOMPARE(state, ULONG(DEV_ABSENT_STATE));
    QCOMPARE(m_skf.SKF_GetDevState(const_cast<char*>("NOSUCH"), &state), ULONG(SAR_OK));
    QCOMPARE(state, ULONG(DEV_ABSENT_STATE));
    DEVHANDLE dev = nullptr;
    QCOMPARE(m_skf.SKF_ConnectDev(const_cast<char*>("OUT"), &dev), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_skf.SKF_ConnectDev(const_cast<char*>("NOSUCH"), &dev), ULONG(SAR_DEVICE_REMOVED));
}

void tst_Conformance::removedTokenHandles()
{
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    HCONTAINER c = m_skf.openContainer(app, "c1");
    QVERIFY(c);
    QVERIFY(m_fx.remove("TOKEN1"));
    DEVINFO info;
    ULONG size = 0, type = 0, n = 0;
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_skf.SKF_EnumContainer(app, nullptr, &size), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_skf.SKF_GetContainerType(c, &type), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_skf.SKF_VerifyPIN(app, USER_TYPE, const_cast<char*>("12345678"), &n), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumDev(TRUE, b, l); }), QByteArray(1, '\0'));
    // Plugged in again it is a new session: the old handles stay dead.
    QVERIFY(m_fx.insert("TOKEN1"));
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_skf.SKF_GetContainerType(c, &type), ULONG(SAR_DEVICE_REMOVED));
    DEVHANDLE again = m_skf.connect("TOKEN1");
    QVERIFY(again);
    QCOMPARE(m_skf.SKF_GetDevInfo(again, &info), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_DisConnectDev(dev), ULONG(SAR_OK));
}

void tst_Conformance::changesFromAnotherProcess()
{
    DEVHANDLE dev = m_skf.connect("TOKEN1");
    HAPPLICATION app = m_skf.openApp(dev);
    DEVINFO info;
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_OK));
    QCOMPARE(QByteArray(info.Label), QByteArray("TOKEN1"));
    QVERIFY(m_fx.setLabel("TOKEN1", "Changed"));
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_OK));
    QCOMPARE(QByteArray(info.Label), QByteArray("Changed"));
    QVERIFY(m_fx.addContainer("TOKEN1", "fromctl", "empty"));
    QCOMPARE(splitNameList(m_skf.fetchList([&](LPSTR b, ULONG* l) { return m_skf.SKF_EnumContainer(app, b, l); })),
             (QStringList{"c1", "fromctl"}));
    QVERIFY(m_fx.setPin("TOKEN1", "user", QString(), -1, 2));
    ULONG max = 0, remain = 0;
    SkfBoolScratch flag{};
    QCOMPARE(m_skf.SKF_GetPINInfo(app, USER_TYPE, &max, &remain, &flag.value), ULONG(SAR_OK));
    QCOMPARE(remain, ULONG(2));
    QVERIFY(m_fx.deleteToken("TOKEN1"));
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_DEVICE_REMOVED));
    // A token created again under the same name is another token.
    QVERIFY(m_fx.createToken(SoftSkfFixture::TokenSpec()));
    QCOMPARE(m_skf.SKF_GetDevInfo(dev, &info), ULONG(SAR_DEVICE_REMOVED));
}

void tst_Conformance::lockDev()
{
    DEVHANDLE a = m_skf.connect("TOKEN1");
    DEVHANDLE b = m_skf.connect("TOKEN1");
    QCOMPARE(m_skf.SKF_LockDev(a, 0xFFFFFFFF), ULONG(SAR_OK));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_skf.SKF_LockDev(b, 100), ULONG(SAR_TIMEOUTERR));
    QVERIFY(timer.elapsed() >= 90);
    QCOMPARE(m_skf.SKF_UnlockDev(a), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_LockDev(b, 100), ULONG(SAR_OK));
    // Disconnecting unlocks.
    QCOMPARE(m_skf.SKF_DisConnectDev(b), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_LockDev(a, 0), ULONG(SAR_OK));
    QCOMPARE(m_skf.SKF_UnlockDev(b), ULONG(SAR_INVALIDHANDLEERR));
}

void tst_Conformance::faultsAndLatency()
{
    QVERIFY(m_fx.fail("SKF_EnumDev", SAR_FAIL));
    QVERIFY(m_fx.fail("ConnectDev", SAR_DEVICE_REMOVED));
    ULONG size = 0;
    QCOMPARE(m_skf.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_FAIL));
    DEVHANDLE dev = nullptr;
    QCOMPARE(m_skf.SKF_ConnectDev(const_cast<char*>("TOKEN1"), &dev), ULONG(SAR_DEVICE_REMOVED));
    QVERIFY(dev == nullptr);
    ULONG state = 0;
    QCOMPARE(m_skf.SKF_GetDevState(const_cast<char*>("TOKEN1"), &state), ULONG(SAR_OK));
    QVERIFY(m_fx.fail("EnumDev", 0));
    QCOMPARE(m_skf.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_OK));
    // Only the second and fourth calls from now fail, wherever they are made; the counters' reset
    // keeps them ahead.
    QVERIFY(m_fx.fail("EnumDev#2,4", SAR_FAIL));
    QCOMPARE(m_skf.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_OK));
    QVERIFY(m_fx.resetStats());
    QCOMPARE(runSkfChildProcess({"enumdev", "3"}), QStringLiteral("a000001 0 a000001 ok"));
    QCOMPARE(m_skf.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_OK));
    QVERIFY(m_fx.clearFaults());
    QVERIFY(m_skf.connect("TOKEN1"));

    QVERIFY(m_fx.latency("GetDevState", 150));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(m_skf.SKF_GetDevState(const_cast<char*>("TOKEN1"), &state), ULONG(SAR_OK));
    QVERIFY(timer.elapsed() >= 145);
    QVERIFY(m_fx.latency("all", 80));
    timer.restart();
    QCOMPARE(m_skf.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_OK));
    QVERIFY(timer.elapsed() >= 75);
    QVERIFY(m_fx.latency("all", 0));
    timer.restart();
    for (int i = 0; i < 20; ++i)
        m_skf.SKF_GetDevState(const_cast<char*>("TOKEN1"), &state);
    QVERIFY(timer.elapsed() < 1000);
}

void tst_Conformance::statsCountCalls()
{
    QVERIFY(m_fx.resetStats());
    ULONG size = 0;
    for (int i = 0; i < 3; ++i)
        m_skf.SKF_EnumDev(TRUE, nullptr, &size);
    QVERIFY(m_fx.fail("ConnectDev", SAR_FAIL));
    DEVHANDLE dev = nullptr;
    m_skf.SKF_ConnectDev(const_cast<char*>("TOKEN1"), &dev);
    m_skf.SKF_Transmit(nullptr, nullptr, 0, nullptr, nullptr);
    // Outside the bound names too.
    QVERIFY(m_fx.fail("GenRSAKeyPair", SAR_GENRSAKEYERR));
    QCOMPARE(m_skf.SKF_GenRSAKeyPair(nullptr, 1024, nullptr), ULONG(SAR_GENRSAKEYERR));
    // Another process's calls add to the same counters.
    QCOMPARE(runSkfChildProcess({"enumdev", "2"}), QStringLiteral("0 0 ok"));
    QMap<QString, qint64> stats = m_fx.stats();
    QCOMPARE(stats.value("SKF_EnumDev"), qint64(5));
    QCOMPARE(stats.value("SKF_ConnectDev"), qint64(1));
    QCOMPARE(stats.value("SKF_Transmit"), qint64(1));
    QCOMPARE(stats.value("SKF_GenRSAKeyPair"), qint64(1));
    QVERIFY(!stats.contains("SKF_GetDevInfo"));
    QVERIFY(m_fx.resetStats());
    QVERIFY(m_fx.stats().isEmpty());
}

SKF_TEST_MAIN(tst_Conformance)

#include "tst_conformance.moc"
