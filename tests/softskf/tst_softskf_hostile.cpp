// The hostile modes of softskf: each makes the library answer the way it promises, and
// "hostile off" brings the normal answers back.
#include "skf_testlib.h"
#include "softskf_fixture.h"

#include <QCoreApplication>
#include <QtTest>
#include <cstring>
#include <functional>
#include <openssl/x509.h>

class tst_SoftSkfHostile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void listShapes_data();
    void listShapes();
    void growingList_data();
    void growingList();
    void sizeOverstated_data();
    void sizeOverstated();
    void devinfoUnterminated();
    void longCertificate_data();
    void longCertificate();
    void rsaBitLength();

private:
    std::function<ULONG(LPSTR, ULONG*)> listCall(const QString& which);

    SkfTestLib m_skf;
    SoftSkfFixture m_fx;
    DEVHANDLE m_dev = nullptr;
    HAPPLICATION m_app = nullptr;
};

void tst_SoftSkfHostile::initTestCase()
{
    QVERIFY(m_skf.load());
    QVERIFY(m_fx.init());
    QVERIFY(m_fx.createToken(SoftSkfFixture::TokenSpec()));
    QVERIFY(m_fx.createToken("TOKEN2"));
    QVERIFY(m_fx.addContainer("TOKEN1", "c1", "sm2"));
    QVERIFY(m_fx.addContainer("TOKEN1", "r1", "rsa1024"));
    QVERIFY(m_fx.addCert("TOKEN1", "c1", true, "Long Signer", 30));
    QVERIFY(m_fx.addCert("TOKEN1", "r1", true, "RSA Signer", 30));
    SoftSkfFixture::TokenSpec bare;
    bare.name = "TOKEN3";
    bare.appName.clear();
    QVERIFY(m_fx.createToken(bare));
    m_dev = m_skf.connect("TOKEN1");
    m_app = m_skf.openApp(m_dev);
    QVERIFY(m_app);
}

void tst_SoftSkfHostile::init()
{
    QVERIFY(m_fx.hostileOff());
}

std::function<ULONG(LPSTR, ULONG*)> tst_SoftSkfHostile::listCall(const QString& which)
{
    if (which == "devices")
        return [this](LPSTR b, ULONG* l) { return m_skf.SKF_EnumDev(TRUE, b, l); };
    if (which == "containers")
        return [this](LPSTR b, ULONG* l) { return m_skf.SKF_EnumContainer(m_app, b, l); };
    if (which == "no applications") {
        DEVHANDLE bare = m_skf.connect("TOKEN3");
        return [this, bare](LPSTR b, ULONG* l) { return m_skf.SKF_EnumApplication(bare, b, l); };
    }
    return [this](LPSTR b, ULONG* l) { return m_skf.SKF_EnumApplication(m_dev, b, l); };
}

void tst_SoftSkfHostile::listShapes_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("which");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("off, devices") << "off"
                                  << "devices" << QByteArray("TOKEN1\0TOKEN2\0TOKEN3\0\0", 22);
    QTest::newRow("off, empty") << "off"
                                << "no applications" << QByteArray(1, '\0');
    QTest::newRow("no terminator, devices") << "list-no-terminator"
                                            << "devices" << QByteArray("TOKEN1\0TOKEN2\0TOKEN3\0", 21);
    QTest::newRow("no terminator, containers") << "list-no-terminator"
                                               << "containers" << QByteArray("c1\0r1\0", 6);
    QTest::newRow("no terminator, empty") << "list-no-terminator"
                                          << "no applications" << QByteArray();
    QTest::newRow("unterminated name, devices") << "list-unterminated-name"
                                                << "devices" << QByteArray("TOKEN1\0TOKEN2\0TOKEN3", 20);
    QTest::newRow("unterminated name, applications") << "list-unterminated-name"
                                                     << "applications" << QByteArray("ORVANE-PKIAPP");
    QTest::newRow("two zero bytes, empty") << "empty-list-two-nuls"
                                           << "no applications" << QByteArray(2, '\0');
    QTest::newRow("two zero bytes, non-empty") << "empty-list-two-nuls"
                                               << "containers" << QByteArray("c1\0r1\0\0", 7);
}

void tst_SoftSkfHostile::listShapes()
{
    QFETCH(QString, mode);
    QFETCH(QString, which);
    QFETCH(QByteArray, expected);
    if (mode != "off")
        QVERIFY(m_fx.hostile(mode));
    auto call = listCall(which);
    ULONG size = 0;
    QCOMPARE(call(nullptr, &size), ULONG(SAR_OK));
    QCOMPARE(size, ULONG(expected.size()));
    // Bytes past the reported size are left as the caller put them.
    QByteArray buf(expected.size() + 8, '\xEE');
    size = ULONG(buf.size());
    QCOMPARE(call(buf.data(), &size), ULONG(SAR_OK));
    QCOMPARE(size, ULONG(expected.size()));
    QCOMPARE(buf, expected + QByteArray(8, '\xEE'));
}

void tst_SoftSkfHostile::growingList_data()
{
    QTest::addColumn<QString>("which");
    QTest::addColumn<QString>("ghost");
    QTest::newRow("devices") << "devices"
                             << "GHOST-DEVICE-1";
    QTest::newRow("applications") << "applications"
                                  << "GHOST-APP-1";
    QTest::newRow("containers") << "containers"
                                << "GHOST-CONTAINER-1";
}

void tst_SoftSkfHostile::growingList()
{
    QFETCH(QString, which);
    QFETCH(QString, ghost);
    auto call = listCall(which);
    ULONG plain = 0;
    QCOMPARE(call(nullptr, &plain), ULONG(SAR_OK));
    QVERIFY(m_fx.hostile("growing-list"));
    ULONG size = 0;
    QCOMPARE(call(nullptr, &size), ULONG(SAR_OK));
    QCOMPARE(size, plain);
    QByteArray buf(int(size), '\xEE');
    ULONG got = size;
    QCOMPARE(call(buf.data(), &got), ULONG(SAR_BUFFER_TOO_SMALL));
    QVERIFY(got > size);
    QCOMPARE(buf, QByteArray(int(size), '\xEE'));
    buf = QByteArray(int(got), '\xEE');
    QCOMPARE(call(buf.data(), &got), ULONG(SAR_OK));
    QCOMPARE(got, ULONG(buf.size()));
    QStringList names = splitNameList(buf);
    QCOMPARE(names.last(), ghost);
    QVERIFY(m_fx.hostileOff());
    QCOMPARE(call(nullptr, &size), ULONG(SAR_OK));
    QCOMPARE(size, plain);
}

void tst_SoftSkfHostile::sizeOverstated_data()
{
    QTest::addColumn<QString>("what");
    for (const char* w : {"EnumDev", "EnumContainer", "ExportCertificate", "ExportPublicKey"})
        QTest::newRow(w) << QString::fromLatin1(w);
}

void tst_SoftSkfHostile::sizeOverstated()
{
    QFETCH(QString, what);
    HCONTAINER c = m_skf.openContainer(m_app, "c1");
    std::function<ULONG(void*, ULONG*)> call;
    if (what == "EnumDev")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_EnumDev(TRUE, static_cast<LPSTR>(b), l); };
    else if (what == "EnumContainer")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_EnumContainer(m_app, static_cast<LPSTR>(b), l); };
    else if (what == "ExportCertificate")
        call = [&](void* b, ULONG* l) { return m_skf.SKF_ExportCertificate(c, TRUE, static_cast<BYTE*>(b), l); };
    else
        call = [&](void* b, ULONG* l) { return m_skf.SKF_ExportPublicKey(c, TRUE, static_cast<BYTE*>(b), l); };
    ULONG size = 0;
    QCOMPARE(call(nullptr, &size), ULONG(SAR_OK));
    QByteArray honest(int(size), '\0');
    ULONG len = size;
    QCOMPARE(call(honest.data(), &len), ULONG(SAR_OK));
    QVERIFY(m_fx.hostile("size-overstated"));
    ULONG again = 0;
    QCOMPARE(call(nullptr, &again), ULONG(SAR_OK));
    QCOMPARE(again, size);
    QByteArray buf(int(size) + 4, '\xEE');
    len = ULONG(buf.size());
    QCOMPARE(call(buf.data(), &len), ULONG(SAR_OK));
    QVERIFY(len > ULONG(buf.size()));
    QCOMPARE(buf.left(int(size)), honest);
    QCOMPARE(buf.mid(int(size)), QByteArray(4, '\xEE'));
}

void tst_SoftSkfHostile::devinfoUnterminated()
{
    QVERIFY(m_fx.hostile("devinfo-unterminated"));
    QByteArray raw(sizeof(DEVINFO), '\0');
    QCOMPARE(m_skf.SKF_GetDevInfo(m_dev, reinterpret_cast<DEVINFO*>(raw.data())), ULONG(SAR_OK));
    const struct
    {
        int offset;
        int width;
        QByteArray value;
    } fields[] = {{2, 64, "softskf"}, {66, 64, "softskf"}, {130, 32, "TOKEN1"}, {162, 32, "SN-TOKEN1"}};
    for (const auto& f : fields) {
        QByteArray field = raw.mid(f.offset, f.width);
        QVERIFY2(!field.contains('\0'), field.constData());
        QCOMPARE(field, f.value + QByteArray(f.width - f.value.size(), '*'));
    }
    const DEVINFO* info = reinterpret_cast<const DEVINFO*>(raw.constData());
    QCOMPARE(info->DevAuthAlgId, ULONG(SGD_SM4_ECB));
    QCOMPARE(info->TotalSpace, ULONG(65536));
}

void tst_SoftSkfHostile::longCertificate_data()
{
    QTest::addColumn<QByteArray>("container");
    QTest::addColumn<QByteArray>("commonName");
    QTest::newRow("sm2") << QByteArray("c1") << QByteArray("Long Signer");
    // Re-signed with a key whose signature is shorter than the CA's.
    QTest::newRow("rsa1024") << QByteArray("r1") << QByteArray("RSA Signer");
}

void tst_SoftSkfHostile::longCertificate()
{
    QFETCH(QByteArray, container);
    QFETCH(QByteArray, commonName);
    HCONTAINER c = m_skf.openContainer(m_app, container);
    QByteArray normal = m_skf.exportCert(c, true);
    QVERIFY(normal.size() > 100 && normal.size() < 2000);
    QVERIFY(m_fx.hostile("long-cert", 70000));
    ULONG size = 0;
    QCOMPARE(m_skf.SKF_ExportCertificate(c, TRUE, nullptr, &size), ULONG(SAR_OK));
    QVERIFY(size >= 70000);
    QByteArray big = m_skf.exportCert(c, true);
    QCOMPARE(ULONG(big.size()), size);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(big.constData());
    X509* cert = d2i_X509(nullptr, &p, big.size());
    QVERIFY(cert);
    char cn[64] = {0};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof cn);
    X509_free(cert);
    QCOMPARE(QByteArray(cn), commonName);
    QVERIFY(m_fx.hostileOff());
    QCOMPARE(m_skf.exportCert(c, true), normal);
}

void tst_SoftSkfHostile::rsaBitLength()
{
    HCONTAINER c = m_skf.openContainer(m_app, "r1");
    QByteArray blob = m_skf.exportPublicKey(c, true);
    QCOMPARE(reinterpret_cast<const RSAPUBLICKEYBLOB*>(blob.constData())->BitLen, ULONG(1024));
    QVERIFY(m_fx.hostile("rsa-bitlen"));
    QByteArray odd = m_skf.exportPublicKey(c, true);
    QCOMPARE(odd.size(), int(sizeof(RSAPUBLICKEYBLOB)));
    QCOMPARE(reinterpret_cast<const RSAPUBLICKEYBLOB*>(odd.constData())->BitLen, ULONG(4096));
    QCOMPARE(odd.mid(8), blob.mid(8));
    QVERIFY(m_fx.hostile("rsa-bitlen", 1536));
    odd = m_skf.exportPublicKey(c, true);
    QCOMPARE(reinterpret_cast<const RSAPUBLICKEYBLOB*>(odd.constData())->BitLen, ULONG(1536));
}

SKF_TEST_MAIN(tst_SoftSkfHostile)

#include "tst_softskf_hostile.moc"
