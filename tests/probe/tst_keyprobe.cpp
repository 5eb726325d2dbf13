// The keyprobe command run as a script runs it, against softskf tokens: answers, JSON and PEM
// read back and compared with the certificates softskf-ctl made, and every exit status.
#include "softskf_fixture.h"
#include "testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

namespace {

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run keyprobe(const QString& program, const QStringList& args)
{
    QProcess process;
    process.start(program, args);
    Run run;
    if (process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit)
        run.status = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// An answer is exactly `out` on standard output and nothing on standard error; a failure is
// one line on standard error that contains `out`, and nothing on standard output.
void checkRun(const Run& run, int status, const QByteArray& out)
{
    QCOMPARE(run.status, status);
    if (status == 0) {
        QCOMPARE(run.out, out);
        QCOMPARE(run.err, QByteArray());
    } else {
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY2(run.err.startsWith("keyprobe: ") && run.err.contains(out), run.err.constData());
    }
}

const QDateTime kNotAfter(QDate(2031, 5, 6), QTime(7, 8, 9), Qt::UTC);

} // namespace

class TestKeyprobe : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY2(m_skf.reset(), m_skf.lastError().constData()); }
    void statuses_data();
    void statuses();
    void serialEscaped();
    void certificates_data();
    void certificates();
    void brokenLibrary_data();
    void brokenLibrary();
    void answerNotWritten();

private:
    SoftSkfFixture m_skf;
};

void TestKeyprobe::statuses_data()
{
    QTest::addColumn<int>("tokens");
    QTest::addColumn<QString>("failing"); // SKF function made to fail with 0x0A00000D
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out"); // exact standard output; on failure, the one stderr line
    const QByteArray noToken = "keyprobe: no token present";
    const QByteArray tokenError = "keyprobe: the token answered with error 0x0A00000D";
    QTest::newRow("no token: count") << 0 << "" << QStringList{"count"} << 0 << QByteArray("0\n");
    QTest::newRow("no token: serial") << 0 << "" << QStringList{"serial"} << 1 << noToken;
    QTest::newRow("no token: certs") << 0 << "" << QStringList{"--json", "certs"} << 1 << noToken;
    QTest::newRow("one: count") << 1 << "" << QStringList{"count", "--json"} << 0 << QByteArray("{\"count\":1}\n");
    QTest::newRow("two: count") << 2 << "" << QStringList{"count"} << 0 << QByteArray("2\n");
    QTest::newRow("two: serial of the first") << 2 << "" << QStringList{"serial"} << 0 << QByteArray("SN-TOKEN1\n");
    QTest::newRow("serial json") << 1 << "" << QStringList{"serial", "--json"} << 0
                                 << QByteArray("{\"serial\":\"SN-TOKEN1\"}\n");
    QTest::newRow("enum fails") << 1 << "SKF_EnumDev" << QStringList{"count"} << 4 << tokenError;
    QTest::newRow("devinfo fails") << 1 << "SKF_GetDevInfo" << QStringList{"serial"} << 4 << tokenError;
    QTest::newRow("open app fails") << 1 << "SKF_OpenApplication" << QStringList{"certs"} << 4 << tokenError;
    QTest::newRow("no command") << 1 << "" << QStringList{} << 2 << QByteArray("keyprobe: expected one command");
    QTest::newRow("unknown command") << 1 << "" << QStringList{"list"} << 2 << QByteArray("'list'");
    QTest::newRow("unknown option") << 1 << "" << QStringList{"--xml", "certs"} << 2 << QByteArray("'xml'");
    QTest::newRow("pem on count") << 1 << "" << QStringList{"--pem", "count"} << 2 << QByteArray("--pem");
    QTest::newRow("pem and json") << 1 << "" << QStringList{"--pem", "--json", "certs"} << 2 << QByteArray("--pem");
    QTest::newRow("version") << 0 << "" << QStringList{"--version"} << 0 << QByteArray("keyprobe 1.2.4\n");
}

void TestKeyprobe::statuses()
{
    QFETCH(int, tokens);
    QFETCH(QString, failing);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    for (int i = 1; i <= tokens; ++i) {
        QVERIFY(m_skf.createToken(QStringLiteral("TOKEN%1").arg(i)));
    }
    if (!failing.isEmpty())
        QVERIFY(m_skf.fail(failing, 0x0A00000D));

    checkRun(keyprobe(QStringLiteral(KEYPROBE_CLI), args), status, out);
}

// A serial number's escapes, bell and line break never reach the terminal, in text or JSON.
void TestKeyprobe::serialEscaped()
{
    SoftSkfFixture::TokenSpec spec;
    spec.serial = QString::fromLatin1("SN\x1b[2J\x1b]0;x\x07\n");
    QVERIFY2(m_skf.createToken(spec), m_skf.lastError().constData());
    checkRun(keyprobe(QStringLiteral(KEYPROBE_CLI), {"serial"}), 0, "SN?[2J?]0;x??\n");
    checkRun(keyprobe(QStringLiteral(KEYPROBE_CLI), {"serial", "--json"}), 0, "{\"serial\":\"SN?[2J?]0;x??\"}\n");
}

void TestKeyprobe::certificates_data()
{
    // One entry per certificate: container, kind, usage, common name; "junk" stores bytes that
    // are no certificate at all.
    QTest::addColumn<QStringList>("certs");
    QTest::newRow("none") << QStringList();
    QTest::newRow("sm2 pair") << QStringList{"c1:sm2:enc:Zhang San", "c1:sm2:sign:Zhang San"};
    QTest::newRow("rsa pair") << QStringList{"r1:rsa1024:enc:Li Si", "r1:rsa1024:sign:Li Si"};
    QTest::newRow("mixed, with broken bytes")
        << QStringList{"r1:rsa2048:sign:王五", "c2:sm2:enc:junk", "c3:sm2:sign:Zhao Liu"};
}

void TestKeyprobe::certificates()
{
    QFETCH(QStringList, certs);
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    QStringList containers;
    for (const QString& spec : certs) {
        const QStringList p = spec.split(':');
        if (!containers.contains(p[0]))
            QVERIFY(m_skf.addContainer("TOKEN1", p[0], p[1]));
        containers << p[0];
        const bool sign = p[2] == "sign";
        if (p[3] == "junk") {
            const QString path = SoftSkfFixture::tempPath("junk.der");
            QVERIFY(writeFile(path, QByteArray("\x30\x03junk", 6)));
            QVERIFY(m_skf.importCert("TOKEN1", p[0], sign, path));
        } else {
            QVERIFY2(m_skf.addCertNotAfter("TOKEN1", p[0], sign, p[3], kNotAfter), m_skf.lastError().constData());
        }
    }

    const Run json = keyprobe(QStringLiteral(KEYPROBE_CLI), {"certs", "--json"});
    const Run text = keyprobe(QStringLiteral(KEYPROBE_CLI), {"certs"});
    const Run pem = keyprobe(QStringLiteral(KEYPROBE_CLI), {"certs", "--pem"});
    QCOMPARE(json.status, 0);
    QCOMPARE(text.status, 0);
    QCOMPARE(pem.status, 0);
    QJsonParseError error;
    const QJsonArray list = QJsonDocument::fromJson(json.out, &error).object().value("certificates").toArray();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(list.size(), certs.size());
    const QList<QByteArray> lines = text.out.split('\n');
    QCOMPARE(lines.size(), certs.size() + 1);
    QList<QByteArray> pemBlocks;
    QRegularExpressionMatchIterator block =
        QRegularExpression("-----BEGIN CERTIFICATE-----\n([^-]*)-----END CERTIFICATE-----\n").globalMatch(pem.out);
    while (block.hasNext())
        pemBlocks << block.next().captured(1).toLatin1();
    QCOMPARE(pemBlocks.size(), certs.size());
    for (int i = 0; i < certs.size(); ++i) {
        const QStringList p = certs[i].split(':');
        const QByteArray der = m_skf.certDer("TOKEN1", p[0], p[2] == "sign");
        const QJsonObject cert = list[i].toObject();
        QCOMPARE(QByteArray::fromBase64(cert.value("der").toString().toLatin1()), der);
        QCOMPARE(cert.value("usage").toString(), p[2]);
        QCOMPARE(QByteArray::fromBase64(pemBlocks[i]), der);
        if (p[3] == "junk") {
            for (const char* key : {"algorithm", "subject", "issuer", "serialNumber", "notBefore", "notAfter"})
                QVERIFY2(cert.value(key).isNull(), key);
            QCOMPARE(lines[i], (p[2] + "\t-\t-\t-").toUtf8());
            continue;
        }
        const QString algorithm = p[1] == "sm2" ? "SM2" : "RSA";
        QVERIFY2(cert.value("subject").toString().startsWith("CN=" + p[3] + ","),
                 qPrintable(cert.value("subject").toString()));
        QVERIFY(cert.value("issuer").toString().contains("CN=softskf Test CA"));
        QCOMPARE(cert.value("algorithm").toString(), algorithm);
        QCOMPARE(cert.value("notAfter").toString(), QString("2031-05-06T07:08:09Z"));
        QVERIFY(QDateTime::fromString(cert.value("notBefore").toString(), Qt::ISODate) < kNotAfter);
        QVERIFY(!cert.value("serialNumber").toString().isEmpty());
        QCOMPARE(QString::fromUtf8(lines[i]), QStringList({p[2], algorithm, p[3], "2031-05-06T07:08:09Z"}).join('\t'));
    }
}

void TestKeyprobe::brokenLibrary_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("out"); // exact standard output; on failure, the one stderr line
    // This copy's libkeyprobe looks for the SKF library in a folder that stays empty.
    const QString none = QStringLiteral(KEYPROBE_CLI_NO_SKF);
    // The loader's own reason names the file it looked for.
    const QByteArray missing = "liborvane.so.1.0.0";
    // Loaded once before any command runs: one command stands for all.
    QTest::newRow("missing") << none << QStringList{"certs", "--json"} << 3 << missing;
#ifdef KEYPROBE_CLI_PARTIAL
    // This one's finds a library that lacks the functions the certificate query needs.
    const QString partial = QStringLiteral(KEYPROBE_CLI_PARTIAL);
    QTest::newRow("partial: serial") << partial << QStringList{"serial"} << 0 << QByteArray("FAKE-0001\n");
    QTest::newRow("partial: certs") << partial << QStringList{"certs"} << 3
                                    << QByteArray("keyprobe: the SKF library lacks a function this query needs");
#endif
}

void TestKeyprobe::brokenLibrary()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QByteArray, out);
    checkRun(keyprobe(program, args), status, out);
}

// An answer lost on its way out is not reported as given.
void TestKeyprobe::answerNotWritten()
{
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    QProcess process;
    process.setStandardOutputFile(QStringLiteral("/dev/full"));
    process.start(QStringLiteral(KEYPROBE_CLI), {"serial"});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 5);
    QVERIFY(process.readAllStandardError().startsWith("keyprobe: cannot write the answer: "));
}

QTEST_GUILESS_MAIN(TestKeyprobe)
#include "tst_keyprobe.moc"
