// softskf-ctl: argument errors, the tokens and certificates it makes, its JSON view, and the
// store staying whole under concurrent and failed commands.
#include "skf_testlib.h"
#include "softskf_fixture.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QtTest>
#include <openssl/asn1.h>
#include <openssl/x509.h>

namespace {

struct Validity
{
    int type = -1;
    time_t notAfter = 0;
};

Validity validityOf(const QByteArray& der)
{
    Validity v;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    X509* cert = d2i_X509(nullptr, &p, der.size());
    if (!cert)
        return v;
    const ASN1_TIME* t = X509_get0_notAfter(cert);
    v.type = ASN1_STRING_type(t);
    struct tm tm;
    if (ASN1_TIME_to_tm(t, &tm) == 1)
        v.notAfter = timegm(&tm);
    X509_free(cert);
    return v;
}

QByteArray pemOf(const QByteArray& der)
{
    QByteArray b64 = der.toBase64(), pem = "-----BEGIN CERTIFICATE-----\n";
    for (int i = 0; i < b64.size(); i += 64)
        pem += b64.mid(i, 64) + '\n';
    return pem + "-----END CERTIFICATE-----\n";
}

X509* parseCert(const QByteArray& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    return d2i_X509(nullptr, &p, der.size());
}

// Whether the issuer's key signed the certificate with the SM2 signer ID.
bool signedUnderId(const QByteArray& der, const QByteArray& issuerDer, const QByteArray& id)
{
    X509* cert = parseCert(der);
    X509* issuer = parseCert(issuerDer);
    ASN1_OCTET_STRING* octets = ASN1_OCTET_STRING_new();
    bool ok = cert && issuer && octets &&
              ASN1_OCTET_STRING_set(octets, reinterpret_cast<const unsigned char*>(id.constData()), id.size());
    if (ok)
        X509_set0_distinguishing_id(cert, octets);
    else
        ASN1_OCTET_STRING_free(octets);
    ok = ok && X509_verify(cert, X509_get0_pubkey(issuer)) == 1;
    X509_free(cert);
    X509_free(issuer);
    return ok;
}

QByteArray storeSnapshot()
{
    QByteArray all;
    QDir dir(SoftSkfFixture::storeDir());
    for (const QString& rel : {QStringLiteral("control"), QStringLiteral("events.log")}) {
        QFile f(dir.filePath(rel));
        if (f.open(QIODevice::ReadOnly))
            all += rel.toUtf8() + ':' + f.readAll();
    }
    for (const QString& token :
         QDir(dir.filePath("tokens")).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)) {
        all += token.toUtf8() + ':';
        QDir tdir(dir.filePath("tokens/" + token));
        for (const QString& file : tdir.entryList(QDir::Files | QDir::Hidden)) {
            QFile f(tdir.filePath(file));
            if (f.open(QIODevice::ReadOnly))
                all += file.toUtf8() + '=' + f.readAll();
        }
    }
    return all;
}

} // namespace

class tst_SoftSkfCtl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void argumentErrors_data();
    void argumentErrors();
    void sm2CertificatesReadByOpenssl();
    void certificateValidity_data();
    void certificateValidity();
    void fixtureCertificates_data();
    void fixtureCertificates();
    void showJson();
    void presenceAndEvents();
    void concurrentChangesAreNotLost();
    void damagedStateIsReported();
    void resetEmptiesTheStore();

private:
    SoftSkfFixture m_fx;
};

void tst_SoftSkfCtl::init()
{
    QVERIFY(m_fx.reset());
    QVERIFY(m_fx.createToken(SoftSkfFixture::TokenSpec()));
    QVERIFY(m_fx.addContainer("TOKEN1", "empty1", "empty"));
    QVERIFY(writeFile(SoftSkfFixture::tempPath("small.bin"), "small"));
    QVERIFY(m_fx.run({"add-file", "TOKEN1", "ORVANE-PKIAPP", "f0", "--from", SoftSkfFixture::tempPath("small.bin")}));
}

void tst_SoftSkfCtl::argumentErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("no command") << QStringList();
    QTest::newRow("unknown command") << QStringList{"frobnicate"};
    QTest::newRow("create without name") << QStringList{"create"};
    QTest::newRow("create twice") << QStringList{"create", "TOKEN1"};
    QTest::newRow("name with space") << QStringList{"create", "bad name"};
    QTest::newRow("name with slash") << QStringList{"create", "../x"};
    QTest::newRow("name too long") << QStringList{"create", QString(64, 'T')};
    QTest::newRow("label too long") << QStringList{"create", "T2", "--label", QString(32, 'L')};
    QTest::newRow("short auth key") << QStringList{"create", "T2", "--auth-key", "31323334"};
    QTest::newRow("auth key not hex") << QStringList{"create", "T2", "--auth-key", QString(32, 'z')};
    QTest::newRow("short PIN") << QStringList{"create", "T2", "--user-pin", "12345"};
    QTest::newRow("zero retries") << QStringList{"create", "T2", "--so-retries", "0"};
    QTest::newRow("bad version") << QStringList{"create", "T2", "--hw-version", "1"};
    QTest::newRow("free above total") << QStringList{"create", "T2", "--total-space", "10", "--free-space", "11"};
    QTest::newRow("unknown option") << QStringList{"create", "T2", "--colour", "red"};
    QTest::newRow("option without value") << QStringList{"create", "T2", "--label"};
    QTest::newRow("bad default flag") << QStringList{"create", "T2", "--user-pin-default", "maybe"};
    QTest::newRow("no-app with PIN") << QStringList{"create", "T2", "--no-app", "--user-pin", "12345678"};
    QTest::newRow("unknown container kind") << QStringList{"add-container", "TOKEN1", "c", "dsa"};
    QTest::newRow("container on unknown token") << QStringList{"add-container", "NOPE", "c", "empty"};
    QTest::newRow("container exists") << QStringList{"add-container", "TOKEN1", "empty1", "empty"};
    QTest::newRow("container name too long") << QStringList{"add-container", "TOKEN1", QString(65, 'c'), "empty"};
    QTest::newRow("bad certificate kind") << QStringList{"add-cert", "TOKEN1", "empty1", "both"};
    QTest::newRow("certificate without key") << QStringList{"add-cert", "TOKEN1", "empty1", "sign"};
    QTest::newRow("certificate bad days") << QStringList{"add-cert", "TOKEN1", "empty1", "sign", "--days", "soon"};
    QTest::newRow("certificate bad time") << QStringList{"add-cert", "TOKEN1", "empty1", "sign", "--not-after", "2050"};
    QTest::newRow("import missing file") << QStringList{"add-cert", "TOKEN1", "empty1",
                                                        "sign",     "--from", "/nonexistent"};
    QTest::newRow("import with CN") << QStringList{"add-cert", "TOKEN1", "empty1", "sign", "--from", "/x", "--cn", "y"};
    QTest::newRow("unknown application") << QStringList{"add-container", "TOKEN1", "c", "empty", "--app", "NOAPP"};
    const QString small = SoftSkfFixture::tempPath("small.bin");
    QTest::newRow("add-file without --from") << QStringList{"add-file", "TOKEN1", "ORVANE-PKIAPP", "f"};
    QTest::newRow("add-file name too long")
        << QStringList{"add-file", "TOKEN1", "ORVANE-PKIAPP", QString(33, 'f'), "--from", small};
    QTest::newRow("add-file unknown application") << QStringList{"add-file", "TOKEN1", "NOAPP", "f", "--from", small};
    QTest::newRow("add-file exists") << QStringList{"add-file", "TOKEN1", "ORVANE-PKIAPP", "f0", "--from", small};
    QTest::newRow("add-file larger than free space")
        << QStringList{"add-file", "TOKEN1", "ORVANE-PKIAPP", "big", "--from", QCoreApplication::applicationFilePath()};
    QTest::newRow("add-file bad rights") << QStringList{"add-file", "TOKEN1", "ORVANE-PKIAPP", "f",
                                                        "--from",   small,    "--read-rights", "256"};
    QTest::newRow("set-pin kind") << QStringList{"set-pin", "TOKEN1", "admin"};
    QTest::newRow("set-pin remaining above limit") << QStringList{"set-pin", "TOKEN1", "user", "--remaining", "7"};
    QTest::newRow("insert unknown") << QStringList{"insert", "NOPE"};
    QTest::newRow("show without token") << QStringList{"show"};
    QTest::newRow("show extra argument") << QStringList{"show", "TOKEN1", "more"};
    QTest::newRow("fail unknown function") << QStringList{"fail", "SKF_Frobnicate", "1"};
    QTest::newRow("fail code too big") << QStringList{"fail", "EnumDev", "0x1FFFFFFFF"};
    QTest::newRow("fail negative code") << QStringList{"fail", "EnumDev", "-1"};
    QTest::newRow("fail at call 0") << QStringList{"fail", "EnumDev", "1", "--call", "0"};
    QTest::newRow("latency negative") << QStringList{"latency", "EnumDev", "-5"};
    QTest::newRow("latency not a number") << QStringList{"latency", "all", "fast"};
    QTest::newRow("hostile unknown") << QStringList{"hostile", "evil"};
    QTest::newRow("hostile parameter refused") << QStringList{"hostile", "growing-list", "5"};
    QTest::newRow("hostile zero parameter") << QStringList{"hostile", "long-cert", "0"};
    QTest::newRow("stats unknown flag") << QStringList{"stats", "--everything"};
    QTest::newRow("flag with value") << QStringList{"list", "--json=yes"};
}

void tst_SoftSkfCtl::argumentErrors()
{
    QFETCH(QStringList, args);
    QByteArray before = storeSnapshot();
    QProcess p;
    p.start(SoftSkfFixture::ctl(), args);
    QVERIFY(p.waitForFinished(20000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 2);
    QByteArray err = p.readAllStandardError();
    QVERIFY2(err.startsWith("softskf-ctl: "), err.constData());
    QVERIFY2(err.endsWith('\n') && err.count('\n') == 1, err.constData());
    QCOMPARE(p.readAllStandardOutput(), QByteArray());
    QCOMPARE(storeSnapshot(), before);
}

void tst_SoftSkfCtl::sm2CertificatesReadByOpenssl()
{
    QVERIFY(m_fx.addContainer("TOKEN1", "sm2c", "sm2"));
    QVERIFY(m_fx.addCert("TOKEN1", "sm2c", true, QString::fromUtf8("张三 Signature"), 365));
    QVERIFY(m_fx.run({"add-cert", "TOKEN1", "sm2c", "enc", "--cn", "Encryption", "--self-signed"}));
    const QByteArray caDer = readFile(SoftSkfFixture::storeDir() + "/ca/sm2.der");
    QString caPem = SoftSkfFixture::tempPath("sm2ca.pem");
    QVERIFY(writeFile(caPem, pemOf(caDer)));
    SkfTestLib skf;
    QVERIFY(skf.load());
    HCONTAINER c = skf.openContainer(skf.openApp(skf.connect("TOKEN1")), "sm2c");
    QVERIFY(c);
    for (bool sign : {true, false}) {
        QByteArray der = m_fx.certDer("TOKEN1", "sm2c", sign);
        QCOMPARE(skf.exportCert(c, sign), der);
        QString path = SoftSkfFixture::tempPath(sign ? "sign.der" : "enc.der");
        QVERIFY(writeFile(path, der));
        QProcess openssl;
        openssl.start("openssl", {"x509", "-inform", "DER", "-in", path, "-noout", "-subject", "-issuer"});
        QVERIFY(openssl.waitForFinished(20000));
        QCOMPARE(openssl.exitCode(), 0);
        QByteArray text = openssl.readAllStandardOutput();
        QVERIFY2(text.contains(sign ? "Signature" : "Encryption"), text.constData());
        QVERIFY2(text.contains(sign ? "softskf Test CA (SM2)" : "issuer=C = CN, O = softskf, CN = Encryption"),
                 text.constData());
        // Signed under the standard SM2 signer ID and only under it; so is the CA.
        QByteArray issuer = sign ? caDer : der;
        QVERIFY(signedUnderId(der, issuer, "1234567812345678"));
        QVERIFY(!signedUnderId(der, issuer, "8765432187654321"));
        QVERIFY(signedUnderId(caDer, caDer, "1234567812345678"));
        if (sign) {
            openssl.start("openssl", {"verify", "-vfyopt", "distid:1234567812345678", "-CAfile", caPem, path});
            QVERIFY(openssl.waitForFinished(20000));
            QCOMPARE(openssl.exitCode(), 0);
        }
        // An end-entity certificate has no (empty) BasicConstraints.
        X509* cert = parseCert(der);
        QVERIFY(cert);
        QVERIFY(X509_get_ext_by_NID(cert, NID_basic_constraints, -1) < 0);
        X509_free(cert);
        // The blob from ExportPublicKey is the certificate's key.
        QByteArray x, y;
        bool rsa = true;
        QVERIFY(certificateKey(der, &x, &y, &rsa));
        QVERIFY(!rsa);
        QByteArray blob = skf.exportPublicKey(c, sign);
        QCOMPARE(blob.size(), int(sizeof(ECCPUBLICKEYBLOB)));
        const ECCPUBLICKEYBLOB* b = reinterpret_cast<const ECCPUBLICKEYBLOB*>(blob.constData());
        QCOMPARE(b->BitLen, ULONG(256));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(b->XCoordinate), 64), QByteArray(32, '\0') + x);
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(b->YCoordinate), 64), QByteArray(32, '\0') + y);
    }
}

void tst_SoftSkfCtl::certificateValidity_data()
{
    QTest::addColumn<QStringList>("option");
    QTest::addColumn<qint64>("notAfter"); // seconds since the epoch; unused for --days
    QTest::addColumn<int>("type");
    QTest::newRow("expired 5 days ago") << QStringList{"--days=-5"} << qint64(0) << int(V_ASN1_UTCTIME);
    QTest::newRow("in 30 days") << QStringList{"--days", "30"} << qint64(0) << int(V_ASN1_UTCTIME);
    QTest::newRow("2049 as UTCTime") << QStringList{"--not-after", "20491231235959Z"} << qint64(2524607999)
                                     << int(V_ASN1_UTCTIME);
    QTest::newRow("2050 as GeneralizedTime")
        << QStringList{"--not-after", "20500101000000Z"} << qint64(2524608000) << int(V_ASN1_GENERALIZEDTIME);
}

void tst_SoftSkfCtl::certificateValidity()
{
    QFETCH(QStringList, option);
    QFETCH(qint64, notAfter);
    QFETCH(int, type);
    QVERIFY(m_fx.addContainer("TOKEN1", "v", "sm2"));
    QVERIFY(m_fx.run(QStringList{"add-cert", "TOKEN1", "v", "sign"} + option));
    Validity v = validityOf(m_fx.certDer("TOKEN1", "v", true));
    QCOMPARE(v.type, type);
    if (option.first().startsWith("--days")) {
        int days = option.join('=').section('=', 1).toInt();
        qint64 expected = QDateTime::currentSecsSinceEpoch() + qint64(days) * 86400;
        QVERIFY(qAbs(qint64(v.notAfter) - expected) < 120);
    } else {
        QCOMPARE(qint64(v.notAfter), notAfter);
    }
}

void tst_SoftSkfCtl::fixtureCertificates_data()
{
    QTest::addColumn<QDateTime>("notAfter");
    QTest::addColumn<int>("type");
    QTest::newRow("2049") << QDateTime(QDate(2049, 12, 31), QTime(23, 59, 59), Qt::UTC) << int(V_ASN1_UTCTIME);
    QTest::newRow("2050") << QDateTime(QDate(2050, 1, 1), QTime(0, 0), Qt::UTC) << int(V_ASN1_GENERALIZEDTIME);
    QTest::newRow("expired") << QDateTime(QDate(2020, 6, 1), QTime(12, 0), Qt::UTC) << int(V_ASN1_UTCTIME);
}

void tst_SoftSkfCtl::fixtureCertificates()
{
    QFETCH(QDateTime, notAfter);
    QFETCH(int, type);
    QByteArray der = SoftSkfFixture::makeCertificate("Made", notAfter);
    const Validity v = validityOf(der);
    QCOMPARE(v.type, type);
    QCOMPARE(qint64(v.notAfter), notAfter.toSecsSinceEpoch());
    QString path = SoftSkfFixture::tempPath("made.der");
    QVERIFY(writeFile(path, der));
    QVERIFY(m_fx.importCert("TOKEN1", "empty1", true, path));
    QCOMPARE(m_fx.certDer("TOKEN1", "empty1", true), der);
}

void tst_SoftSkfCtl::showJson()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "J";
    spec.serial = "SER-42";
    spec.label = "Label J";
    spec.hwVersion = "4.2";
    spec.userRetries = 9;
    spec.soRetries = 3;
    spec.userPinDefault = true;
    spec.present = false;
    QVERIFY(m_fx.createToken(spec));
    QVERIFY(m_fx.addContainer("J", "e", "empty"));
    QVERIFY(m_fx.addContainer("J", "s", "sm2"));
    QVERIFY(m_fx.addCert("J", "s", false, "Enc", 10));
    QVERIFY(m_fx.setPin("J", "user", QString(), -1, 4));
    QJsonObject o = m_fx.show("J");
    QCOMPARE(o["name"].toString(), QString("J"));
    QCOMPARE(o["present"].toBool(), false);
    QCOMPARE(o["serial"].toString(), QString("SER-42"));
    QCOMPARE(o["label"].toString(), QString("Label J"));
    QCOMPARE(o["hwVersion"].toString(), QString("4.2"));
    QCOMPARE(o["devAuthAlgId"].toInt(), SGD_SM4_ECB);
    QJsonObject app = o["applications"].toArray()[0].toObject();
    QCOMPARE(app["name"].toString(), QString("ORVANE-PKIAPP"));
    QCOMPARE(app["userPin"].toObject()["maxRetries"].toInt(), 9);
    QCOMPARE(app["userPin"].toObject()["remainingRetries"].toInt(), 4);
    QCOMPARE(app["userPin"].toObject()["default"].toBool(), true);
    QCOMPARE(app["soPin"].toObject()["maxRetries"].toInt(), 3);
    QCOMPARE(app["soPin"].toObject()["default"].toBool(), false);
    QJsonArray containers = app["containers"].toArray();
    QCOMPARE(containers.size(), 2);
    QCOMPARE(containers[0].toObject()["type"].toInt(), 0);
    QCOMPARE(containers[0].toObject()["signKey"].toBool(), false);
    QJsonObject s = containers[1].toObject();
    QCOMPARE(s["typeName"].toString(), QString("sm2"));
    QCOMPARE(s["keyBits"].toInt(), 256);
    QCOMPARE(s["signCert"].toBool(), false);
    QCOMPARE(s["encCert"].toBool(), true);
    QCOMPARE(s["encCertSize"].toInt(), m_fx.certDer("J", "s", false).size());
    QString path = SoftSkfFixture::tempPath("data.bin");
    QVERIFY(writeFile(path, QByteArray(1000, 'd')));
    QVERIFY(m_fx.run({"add-file", "J", "ORVANE-PKIAPP", "data", "--from", path, "--write-rights", "1"}));
    o = m_fx.show("J");
    QCOMPARE(o["freeSpace"].toInt(), 32768 - 1000);
    QJsonObject file = o["applications"].toArray()[0].toObject()["files"].toArray()[0].toObject();
    QCOMPARE(file["name"].toString(), QString("data"));
    QCOMPARE(file["size"].toInt(), 1000);
    QCOMPARE(file["readRights"].toInt(), 255);
    QCOMPARE(file["writeRights"].toInt(), 1);
    QCOMPARE(m_fx.list().size(), 2);
    QByteArray text;
    QVERIFY(m_fx.run({"show", "J"}, &text));
    QVERIFY(text.contains("token J (removed)") && text.contains("4 of 9 tries left, factory default"));
    QVERIFY(text.contains("file data: 1000 bytes, read rights 255, write rights 1"));
}

void tst_SoftSkfCtl::presenceAndEvents()
{
    QVERIFY(m_fx.remove("TOKEN1"));
    QCOMPARE(m_fx.show("TOKEN1")["present"].toBool(), false);
    QVERIFY(m_fx.insert("TOKEN1"));
    QCOMPARE(m_fx.show("TOKEN1")["present"].toBool(), true);
    QVERIFY(m_fx.deleteToken("TOKEN1"));
    QByteArray events;
    QVERIFY(m_fx.run({"events"}, &events));
    QCOMPARE(events, QByteArray("1 2 TOKEN1\n2 1 TOKEN1\n3 2 TOKEN1\n"));
    QCOMPARE(m_fx.list().size(), 0);
}

void tst_SoftSkfCtl::concurrentChangesAreNotLost()
{
    QList<QProcess*> runs;
    for (int i = 0; i < 6; ++i) {
        auto* p = new QProcess(this);
        if (i % 2)
            p->start(SoftSkfFixture::ctl(), {"add-container", "TOKEN1", QString("par%1").arg(i), "sm2"});
        else
            p->start(SoftSkfFixture::ctl(), {"set-label", "TOKEN1", QString("label%1").arg(i)});
        runs << p;
    }
    QDeadlineTimer deadline(20000);
    for (QProcess* p : runs) {
        QVERIFY(p->waitForFinished(int(deadline.remainingTime())));
        QCOMPARE(p->exitCode(), 0);
    }
    qDeleteAll(runs);
    QJsonArray containers = m_fx.show("TOKEN1")["applications"].toArray()[0].toObject()["containers"].toArray();
    QStringList names;
    for (const QJsonValue& c : containers)
        names << c.toObject()["name"].toString();
    names.sort();
    QCOMPARE(names, (QStringList{"empty1", "par1", "par3", "par5"}));
    QVERIFY(QDir(SoftSkfFixture::storeDir() + "/tokens/TOKEN1").entryList(QDir::Files).size() == 1);
}

void tst_SoftSkfCtl::damagedStateIsReported()
{
    QString path = SoftSkfFixture::storeDir() + "/tokens/TOKEN1/token.state";
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QByteArray good = f.readAll();
    f.close();
    QVERIFY(writeFile(path, good.left(good.size() / 2)));
    QVERIFY(!m_fx.run({"show", "TOKEN1"}));
    QCOMPARE(m_fx.lastExitCode(), 1);
    QCOMPARE(m_fx.lastError().count('\n'), 1);
    SkfTestLib skf;
    QVERIFY(skf.load());
    ULONG state = 9;
    QCOMPARE(skf.SKF_GetDevState(const_cast<char*>("TOKEN1"), &state), ULONG(SAR_OK));
    QCOMPARE(state, ULONG(DEV_ABSENT_STATE));
    QCOMPARE(skf.fetchList([&](LPSTR b, ULONG* l) { return skf.SKF_EnumDev(FALSE, b, l); }), QByteArray(1, '\0'));
    QVERIFY(writeFile(path, good));
    QCOMPARE(skf.fetchList([&](LPSTR b, ULONG* l) { return skf.SKF_EnumDev(FALSE, b, l); }),
             QByteArray("TOKEN1\0\0", 8));
}

void tst_SoftSkfCtl::resetEmptiesTheStore()
{
    QVERIFY(m_fx.fail("EnumDev", 0x0A000001));
    QVERIFY(m_fx.latency("all", 5));
    QVERIFY(m_fx.hostile("long-cert", 1000));
    QVERIFY(m_fx.insert("TOKEN1"));
    QByteArray out;
    QVERIFY(m_fx.run({"hostile"}, &out));
    QCOMPARE(out, QByteArray("long-cert 1000\n"));
    QVERIFY(m_fx.reset());
    QVERIFY(m_fx.list().isEmpty());
    QVERIFY(m_fx.run({"hostile"}, &out));
    QCOMPARE(out, QByteArray());
    QVERIFY(m_fx.run({"events"}, &out));
    QCOMPARE(out, QByteArray());
    QVERIFY(m_fx.stats().isEmpty());
}

QTEST_GUILESS_MAIN(tst_SoftSkfCtl)
#include "tst_softskfctl.moc"
