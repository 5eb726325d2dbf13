// libkeyprobe as an outside program sees it: loaded by path with dlopen, queried against
// softskf tokens, with faults and broken answers injected through softskf-ctl.
#include "keyprobe.h"
#include "skf_defs.h"
#include "capture.h"
#include "softskf_fixture.h"
#include "testfiles.h"
#include "together.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QtTest>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

const quint32 kInjected = 0x0A00000D; // SAR_OBJERR: a code no query produces by itself
const quint32 kNotBound = KEYPROBE_NOT_BOUND;

// One dlopen()ed copy of the library with its four entry points.
struct ProbeLibrary {
    void* handle = nullptr;
    LM_UsbkeyOnline_fn online = nullptr;
    LM_GetSerialNum_fn serial = nullptr;
    LM_GetUserCert_fn cert = nullptr;
    keyprobe_Initialize_fn initialize = nullptr;

    bool load(const char* path)
    {
        handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            qWarning("%s", dlerror());
            return false;
        }
        online = reinterpret_cast<LM_UsbkeyOnline_fn>(dlsym(handle, KEYPROBE_SYMBOL_USBKEY_ONLINE));
        serial = reinterpret_cast<LM_GetSerialNum_fn>(dlsym(handle, KEYPROBE_SYMBOL_GET_SERIAL_NUM));
        cert = reinterpret_cast<LM_GetUserCert_fn>(dlsym(handle, KEYPROBE_SYMBOL_GET_USER_CERT));
        initialize = reinterpret_cast<keyprobe_Initialize_fn>(dlsym(handle, KEYPROBE_SYMBOL_INITIALIZE));
        return online && serial && cert && initialize;
    }

    // The whole blob through the two-call protocol; *rc gets the first failure.
    QByteArray userCert(quint32* rc) const
    {
        unsigned long size = 0;
        *rc = cert(nullptr, &size);
        if (*rc != KEYPROBE_BUFFER_TOO_SMALL)
            return QByteArray();
        QByteArray blob(int(size), '\0');
        *rc = cert(reinterpret_cast<unsigned char*>(blob.data()), &size);
        if (*rc == KEYPROBE_OK && size != unsigned(blob.size()))
            qWarning("blob size changed between the calls: %lu then %d", size, blob.size());
        return *rc == KEYPROBE_OK ? blob : QByteArray();
    }

    QByteArray serialText(quint32* rc) const
    {
        char buffer[64];
        unsigned long length = sizeof buffer;
        *rc = serial(buffer, &length);
        return *rc == KEYPROBE_OK ? QByteArray(buffer) : QByteArray();
    }
};

struct Item {
    int tag;
    QByteArray value;
};

// Strict reading of a certificate blob: the header, exactly N items, no stray bytes.
bool parseBlob(const QByteArray& blob, QVector<Item>* items)
{
    const auto* b = reinterpret_cast<const unsigned char*>(blob.constData());
    if (blob.size() < 4 || b[0] != KEYPROBE_TAG_COUNT || b[1] != 0 || b[2] != 1)
        return false;
    items->clear();
    int pos = 4;
    while (pos < blob.size()) {
        if (pos + 3 > blob.size())
            return false;
        int len = (b[pos + 1] << 8) | b[pos + 2];
        if (pos + 3 + len > blob.size())
            return false;
        items->append({b[pos], blob.mid(pos + 3, len)});
        pos += 3 + len;
    }
    return items->size() == b[3];
}

QByteArray header(int count)
{
    return QByteArray::fromHex("C00001") + char(count);
}

QByteArray item(int tag, const QByteArray& value)
{
    return QByteArray(1, char(tag)) + char((value.size() >> 8) & 0xFF) + char(value.size() & 0xFF) + value;
}

} // namespace

class TestProbe : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void nullArguments();
    void noToken_data();
    void noToken();
    void tokenCount_data();
    void tokenCount();
    void firstTokenAnswers();
    void growingLists();
    void serialNumber_data();
    void serialNumber();
    void userCert_data();
    void userCert();
    void sizeLearning();
    void longCertificates_data();
    void longCertificates();
    void itemCountStaysInOneByte();
    void failures_data();
    void failures();
    void missingThenAppearing();
    void partialLibrary();
    void concurrentQueries();
    void example();

private:
    // Adds containers to TOKEN1 from specs "name:kind[:enc][:sign]"; returns the expected blob.
    QByteArray fillToken(const QStringList& specs);
    // failingOpen: the open call that fails on every query, so nothing of that kind needs closing.
    void checkHandlesClosed(const QString& failingOpen = QString());

    SoftSkfFixture m_skf;
    ProbeLibrary m_probe;
};

void TestProbe::initTestCase()
{
    QVERIFY2(m_skf.init(), m_skf.lastError().constData());
    QVERIFY(m_probe.load(KEYPROBE_LIB));
}

void TestProbe::init()
{
    QVERIFY2(m_skf.reset(), m_skf.lastError().constData());
}

QByteArray TestProbe::fillToken(const QStringList& specs)
{
    int count = 0;
    QByteArray items;
    for (const QString& spec : specs) {
        QStringList parts = spec.split(QLatin1Char(':'));
        const QString name = parts.value(0);
        const QString kind = parts.value(1);
        if (!m_skf.addContainer(QStringLiteral("TOKEN1"), name, kind)) {
            qWarning("add-container %s: %s", qPrintable(spec), m_skf.lastError().constData());
            return QByteArray();
        }
        for (bool sign : {false, true}) {
            if (!parts.contains(sign ? QStringLiteral("sign") : QStringLiteral("enc")))
                continue;
            if (!m_skf.addCert(QStringLiteral("TOKEN1"), name, sign, name, 365)) {
                qWarning("add-cert %s: %s", qPrintable(spec), m_skf.lastError().constData());
                return QByteArray();
            }
            int tag = kind.startsWith(QLatin1String("rsa")) ? KEYPROBE_TAG_RSA
                      : sign                                ? KEYPROBE_TAG_SM2_SIGN
                                                            : KEYPROBE_TAG_SM2_ENC;
            items += item(tag, m_skf.certDer(QStringLiteral("TOKEN1"), name, sign));
            ++count;
        }
    }
    return header(count) + items;
}

// Every query closes what it opened, on success and on failure alike.
void TestProbe::checkHandlesClosed(const QString& failingOpen)
{
    const QMap<QString, qint64> calls = m_skf.stats();
    const QList<QPair<QString, QString>> pairs = {{"SKF_ConnectDev", "SKF_DisConnectDev"},
                                                  {"SKF_OpenApplication", "SKF_CloseApplication"},
                                                  {"SKF_OpenContainer", "SKF_CloseContainer"}};
    for (const auto& pair : pairs) {
        const qint64 opened = pair.first == failingOpen ? 0 : calls.value(pair.first);
        if (calls.value(pair.second) != opened)
            QFAIL(qPrintable(QStringLiteral("%1 calls: %2, %3 calls: %4")
                                 .arg(pair.first)
                                 .arg(calls.value(pair.first))
                                 .arg(pair.second)
                                 .arg(calls.value(pair.second))));
    }
}

void TestProbe::nullArguments()
{
    char serial[40];
    unsigned char blob[16];
    QCOMPARE(m_probe.online(nullptr), KEYPROBE_INVALID_PARAM);
    QCOMPARE(m_probe.serial(serial, nullptr), KEYPROBE_INVALID_PARAM);
    QCOMPARE(m_probe.serial(nullptr, nullptr), KEYPROBE_INVALID_PARAM);
    QCOMPARE(m_probe.cert(blob, nullptr), KEYPROBE_INVALID_PARAM);
    QCOMPARE(m_probe.cert(nullptr, nullptr), KEYPROBE_INVALID_PARAM);
}

void TestProbe::noToken_data()
{
    QTest::addColumn<bool>("unpluggedToken");
    QTest::addColumn<QString>("hostile");
    QTest::newRow("no token at all") << false << QString();
    QTest::newRow("token unplugged") << true << QString();
    QTest::newRow("empty list as two zero bytes") << false << QStringLiteral("empty-list-two-nuls");
    QTest::newRow("unplugged, two zero bytes") << true << QStringLiteral("empty-list-two-nuls");
}

void TestProbe::noToken()
{
    QFETCH(bool, unpluggedToken);
    QFETCH(QString, hostile);
    if (unpluggedToken) {
        SoftSkfFixture::TokenSpec spec;
        spec.present = false;
        QVERIFY(m_skf.createToken(spec));
    }
    if (!hostile.isEmpty())
        QVERIFY(m_skf.hostile(hostile));

    unsigned long count = 77;
    QCOMPARE(m_probe.online(&count), KEYPROBE_OK);
    QCOMPARE(count, 0ul);

    quint32 serialRc = 0;
    quint32 certRc = 0;
    QVERIFY(m_probe.serialText(&serialRc).isEmpty());
    QVERIFY(m_probe.userCert(&certRc).isEmpty());
    // The connection to the missing first token fails, and that failure is what comes back.
    QVERIFY(serialRc != KEYPROBE_OK && serialRc != kNotBound && serialRc != KEYPROBE_BUFFER_TOO_SMALL);
    QCOMPARE(certRc, serialRc);
    QCOMPARE(m_skf.stats().value("SKF_ConnectDev"), qint64(2));
    checkHandlesClosed(QStringLiteral("SKF_ConnectDev"));
}

void TestProbe::tokenCount_data()
{
    QTest::addColumn<int>("present");
    QTest::addColumn<int>("unplugged");
    QTest::addColumn<QString>("hostile");
    QTest::newRow("one") << 1 << 0 << QString();
    QTest::newRow("two") << 2 << 0 << QString();
    QTest::newRow("three and one unplugged") << 3 << 1 << QString();
    QTest::newRow("list without final zero") << 2 << 0 << QStringLiteral("list-no-terminator");
    QTest::newRow("one, without final zero") << 1 << 0 << QStringLiteral("list-no-terminator");
    QTest::newRow("last name unterminated") << 3 << 0 << QStringLiteral("list-unterminated-name");
    QTest::newRow("size overstated") << 2 << 1 << QStringLiteral("size-overstated");
}

void TestProbe::tokenCount()
{
    QFETCH(int, present);
    QFETCH(int, unplugged);
    QFETCH(QString, hostile);
    for (int i = 0; i < present + unplugged; ++i) {
        SoftSkfFixture::TokenSpec spec;
        spec.name = QStringLiteral("TOKEN%1").arg(i + 1);
        spec.present = i < present;
        QVERIFY2(m_skf.createToken(spec), m_skf.lastError().constData());
    }
    if (!hostile.isEmpty())
        QVERIFY(m_skf.hostile(hostile));

    unsigned long count = 77;
    QCOMPARE(m_probe.online(&count), KEYPROBE_OK);
    QCOMPARE(count, static_cast<unsigned long>(present));
}

// With two tokens both answers come from the first name of the device list.
void TestProbe::firstTokenAnswers()
{
    for (const char* name : {"TOKEN-B", "TOKEN-A"}) {
        SoftSkfFixture::TokenSpec spec;
        spec.name = QString::fromLatin1(name);
        spec.serial = QStringLiteral("SERIAL-") + QLatin1String(name).right(1);
        QVERIFY(m_skf.createToken(spec));
        QVERIFY(m_skf.addContainer(spec.name, QStringLiteral("c1"), QStringLiteral("sm2")));
        QVERIFY(m_skf.addCert(spec.name, QStringLiteral("c1"), true, spec.name, 365));
    }
    // The device list as the SKF library itself reports it.
    void* skf = dlopen(qPrintable(SoftSkfFixture::lib()), RTLD_NOW | RTLD_LOCAL);
    QVERIFY(skf != nullptr);
    auto enumDev = reinterpret_cast<ULONG (*)(BOOL, LPSTR, ULONG*)>(dlsym(skf, "SKF_EnumDev"));
    QVERIFY(enumDev != nullptr);
    char list[256] = {};
    ULONG size = sizeof list - 1;
    QCOMPARE(enumDev(1, list, &size), 0u);
    const QString first = QString::fromLatin1(list);
    QVERIFY(first == QLatin1String("TOKEN-A") || first == QLatin1String("TOKEN-B"));

    unsigned long count = 0;
    QCOMPARE(m_probe.online(&count), KEYPROBE_OK);
    QCOMPARE(count, 2ul);
    quint32 rc = 0;
    QCOMPARE(QString::fromLatin1(m_probe.serialText(&rc)), QStringLiteral("SERIAL-") + first.right(1));
    QCOMPARE(m_probe.userCert(&rc), header(1) + item(KEYPROBE_TAG_SM2_SIGN, m_skf.certDer(first, "c1", true)));
}

// Lists that grow between the size call and the fetch are read again instead of failing.
void TestProbe::growingLists()
{
    SoftSkfFixture::TokenSpec spec;
    QVERIFY(m_skf.createToken(spec));
    spec.name = QStringLiteral("TOKEN2");
    QVERIFY(m_skf.createToken(spec));
    const QByteArray expected = fillToken({"c1:sm2:enc:sign", "c2:rsa1024:sign"});
    QVERIFY(m_skf.hostile(QStringLiteral("growing-list")));

    unsigned long count = 0;
    QCOMPARE(m_probe.online(&count), KEYPROBE_OK);
    QVERIFY2(count > 2, qPrintable(QString::number(count))); // the names added on the way count too
    quint32 rc = 0;
    QCOMPARE(m_probe.serialText(&rc), QByteArray("SN-TOKEN1"));
    // The containers added on the way cannot be opened and are passed over.
    QCOMPARE(m_probe.userCert(&rc).toHex(), expected.toHex());
    QCOMPARE(rc, KEYPROBE_OK);
    const QMap<QString, qint64> calls = m_skf.stats();
    QCOMPARE(calls.value("SKF_DisConnectDev"), calls.value("SKF_ConnectDev"));
    QCOMPARE(calls.value("SKF_CloseApplication"), calls.value("SKF_OpenApplication"));
    QCOMPARE(calls.value("SKF_CloseContainer"), qint64(2 * 2)); // two real containers, two calls
}

void TestProbe::serialNumber_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("hostile");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("short") << "SN0001" << QString() << QByteArray("SN0001");
    QTest::newRow("31 characters") << QString(31, 'S') << QString() << QByteArray(31, 'S');
    QTest::newRow("32 characters") << QString(32, '7') << QString() << QByteArray(32, '7');
    // Every text field filled to its width with no zero byte: the serial ends at the field's end.
    QTest::newRow("field without terminator")
        << "SN0001" << QStringLiteral("devinfo-unterminated") << QByteArray("SN0001") + QByteArray(26, '*');
}

void TestProbe::serialNumber()
{
    QFETCH(QString, serial);
    QFETCH(QString, hostile);
    QFETCH(QByteArray, expected);
    SoftSkfFixture::TokenSpec spec;
    spec.serial = serial;
    QVERIFY2(m_skf.createToken(spec), m_skf.lastError().constData());
    if (!hostile.isEmpty())
        QVERIFY(m_skf.hostile(hostile));
    const unsigned long needed = expected.size() + 1;

    unsigned long length = 0;
    QCOMPARE(m_probe.serial(nullptr, &length), KEYPROBE_OK);
    QCOMPARE(length, needed);

    // One byte short: nothing written, the size needed returned.
    QByteArray buffer(64, '\x55');
    length = needed - 1;
    QCOMPARE(m_probe.serial(buffer.data(), &length), KEYPROBE_BUFFER_TOO_SMALL);
    QCOMPARE(length, needed);
    QCOMPARE(buffer, QByteArray(64, '\x55'));

    // Exactly the size needed, then a larger buffer whose rest is cleared.
    for (unsigned long size : {needed, 64ul}) {
        buffer.fill('\x55');
        length = size;
        QCOMPARE(m_probe.serial(buffer.data(), &length), KEYPROBE_OK);
        QCOMPARE(length, needed);
        QCOMPARE(buffer.left(int(needed)), expected + '\0');
        QCOMPARE(buffer.mid(int(size)), QByteArray(64 - int(size), '\x55'));
        QCOMPARE(buffer.mid(int(needed), int(size - needed)), QByteArray(int(size - needed), '\0'));
    }
    checkHandlesClosed();
}

void TestProbe::userCert_data()
{
    QTest::addColumn<QStringList>("containers");
    QTest::newRow("no containers") << QStringList();
    QTest::newRow("all empty") << QStringList{"c1:empty", "c2:empty", "c3:empty"};
    QTest::newRow("key pair, no certificate") << QStringList{"c1:sm2"};
    QTest::newRow("sm2, both") << QStringList{"c1:sm2:enc:sign"};
    QTest::newRow("rsa, both") << QStringList{"c1:rsa1024:enc:sign"};
    QTest::newRow("sm2, signature only") << QStringList{"c1:sm2:sign"};
    QTest::newRow("rsa, encryption only") << QStringList{"c1:rsa1024:enc"};
    QTest::newRow("mixed, in container order")
        << QStringList{"c1:rsa1024:enc:sign", "c2:empty", "c3:sm2:sign", "c4:sm2:enc:sign", "c5:sm2"};
    // Lengths reported beyond the buffer given lose no certificate and add no byte.
    QTest::newRow("sizes overstated") << QStringList{"c1:sm2:enc:sign", "c2:rsa1024:sign", "size-overstated"};
}

void TestProbe::userCert()
{
    QFETCH(QStringList, containers);
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    const bool hostileMode = !containers.isEmpty() && !containers.last().contains(':');
    const QString hostile = hostileMode ? containers.takeLast() : QString();
    const QByteArray expected = fillToken(containers);
    QVERIFY(!expected.isEmpty());
    if (!hostile.isEmpty())
        QVERIFY(m_skf.hostile(hostile));

    quint32 rc = 0;
    const QByteArray blob = m_probe.userCert(&rc);
    QCOMPARE(rc, KEYPROBE_OK);
    QCOMPARE(blob.toHex(), expected.toHex());
    QVector<Item> items;
    QVERIFY(parseBlob(blob, &items));
    checkHandlesClosed();
}

void TestProbe::sizeLearning()
{
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    const QByteArray expected = fillToken({"c1:sm2:enc:sign", "c2:rsa1024:sign"});
    const unsigned long size = expected.size();

    QByteArray buffer(expected.size() + 16, '\x55');
    auto* data = reinterpret_cast<unsigned char*>(buffer.data());
    unsigned long length = 0;
    QCOMPARE(m_probe.cert(data, &length), KEYPROBE_BUFFER_TOO_SMALL);
    QCOMPARE(length, size);
    length = size - 1;
    QCOMPARE(m_probe.cert(data, &length), KEYPROBE_BUFFER_TOO_SMALL);
    QCOMPARE(length, size);
    QCOMPARE(buffer, QByteArray(buffer.size(), '\x55'));
    length = 1000000;
    QCOMPARE(m_probe.cert(nullptr, &length), KEYPROBE_BUFFER_TOO_SMALL);
    QCOMPARE(length, size);

    for (unsigned long given : {size, size + 16}) {
        length = given;
        QCOMPARE(m_probe.cert(data, &length), KEYPROBE_OK);
        QCOMPARE(length, size);
        QCOMPARE(buffer.left(int(size)).toHex(), expected.toHex());
    }
}

void TestProbe::longCertificates_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("kept");
    QTest::newRow("65535 bytes: kept") << 65535 << true;
    QTest::newRow("65536 bytes: left out") << 65536 << false;
}

// A certificate that the 16-bit length cannot describe is left out; the blob stays readable.
void TestProbe::longCertificates()
{
    QFETCH(int, length);
    QFETCH(bool, kept);
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    const QByteArray encOnly = fillToken({"c1:sm2:enc"});
    // The library hands the bytes on as the token stores them, without reading them.
    const QByteArray sign = QByteArray(1, 0x30) + QByteArray(length - 1, 'P');
    const QString file = SoftSkfFixture::tempPath(QStringLiteral("long.der"));
    QVERIFY(writeFile(file, sign));
    QVERIFY(m_skf.importCert(QStringLiteral("TOKEN1"), QStringLiteral("c1"), true, file));

    quint32 rc = 0;
    const QByteArray blob = m_probe.userCert(&rc);
    QCOMPARE(rc, KEYPROBE_OK);
    QCOMPARE(blob, kept ? header(2) + encOnly.mid(4) + item(KEYPROBE_TAG_SM2_SIGN, sign) : encOnly);
}

// 256 certificates: the count byte cannot say so, so the blob ends after 255 of them.
void TestProbe::itemCountStaysInOneByte()
{
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    QStringList specs;
    for (int i = 0; i < 128; ++i)
        specs << QStringLiteral("c%1:sm2:enc:sign").arg(i, 3, 10, QLatin1Char('0'));
    const QByteArray all = fillToken(specs);
    QVERIFY(!all.isEmpty());

    quint32 rc = 0;
    const QByteArray blob = m_probe.userCert(&rc);
    QCOMPARE(rc, KEYPROBE_OK);
    QVector<Item> items;
    QVERIFY(parseBlob(blob, &items));
    QCOMPARE(items.size(), KEYPROBE_MAX_CERT_ITEMS);
    // The first 255 items, in order; only the last signature certificate is missing.
    QByteArray allItems = all.mid(4);
    QCOMPARE(blob.mid(4), allItems.left(blob.size() - 4));
    QCOMPARE(items.last().tag, KEYPROBE_TAG_SM2_ENC);
}

void TestProbe::failures_data()
{
    // What each query answers when one SKF function fails: "code" (the injected code),
    // "ok" (normal answer), "no certs" (success with the four-byte blob), "fetch" (the code and a
    // count of 0), "less one" (success without the first certificate).
    QTest::addColumn<QString>("function");
    QTest::addColumn<QString>("online");
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("cert");
    QTest::newRow("EnumDev") << "SKF_EnumDev" << "code" << "code" << "code";
    QTest::newRow("ConnectDev") << "SKF_ConnectDev" << "ok" << "code" << "code";
    QTest::newRow("GetDevInfo") << "SKF_GetDevInfo" << "ok" << "code" << "ok";
    QTest::newRow("EnumApplication") << "SKF_EnumApplication" << "ok" << "ok" << "code";
    QTest::newRow("OpenApplication") << "SKF_OpenApplication" << "ok" << "ok" << "code";
    QTest::newRow("EnumContainer") << "SKF_EnumContainer" << "ok" << "ok" << "code";
    QTest::newRow("OpenContainer") << "SKF_OpenContainer" << "ok" << "ok" << "no certs";
    QTest::newRow("GetContainerType") << "SKF_GetContainerType" << "ok" << "ok" << "no certs";
    QTest::newRow("ExportCertificate") << "SKF_ExportCertificate" << "ok" << "ok" << "no certs";
    QTest::newRow("CloseContainer") << "SKF_CloseContainer" << "ok" << "ok" << "ok";
    QTest::newRow("CloseApplication") << "SKF_CloseApplication" << "ok" << "ok" << "ok";
    QTest::newRow("DisConnectDev") << "SKF_DisConnectDev" << "ok" << "ok" << "ok";
    // "#N": only that call from now fails; the size of the list or certificate comes, the fetch fails.
    QTest::newRow("EnumDev, the count's fetch") << "SKF_EnumDev#2" << "fetch" << "ok" << "ok";
    QTest::newRow("ExportCertificate, the first fetch") << "SKF_ExportCertificate#2" << "ok" << "ok" << "less one";
}

void TestProbe::failures()
{
    QFETCH(QString, function);
    QFETCH(QString, online);
    QFETCH(QString, serial);
    QFETCH(QString, cert);
    SoftSkfFixture::TokenSpec spec;
    spec.serial = QStringLiteral("SN-FAULT");
    QVERIFY(m_skf.createToken(spec));
    const QByteArray expected = fillToken({"c1:sm2:enc:sign", "c2:empty", "c3:rsa1024:sign"});
    QVERIFY(m_skf.fail(function, kInjected));

    unsigned long count = 77;
    quint32 rc = m_probe.online(&count);
    QCOMPARE(rc, online == QLatin1String("ok") ? KEYPROBE_OK : kInjected);
    QCOMPARE(count, online == QLatin1String("code") ? 77ul : online == QLatin1String("fetch") ? 0ul : 1ul);

    QByteArray text = m_probe.serialText(&rc);
    QCOMPARE(rc, serial == QLatin1String("code") ? kInjected : KEYPROBE_OK);
    QCOMPARE(text, serial == QLatin1String("code") ? QByteArray() : QByteArray("SN-FAULT"));

    unsigned long length = 4096;
    QByteArray blob(4096, '\0');
    rc = m_probe.cert(reinterpret_cast<unsigned char*>(blob.data()), &length);
    if (cert == QLatin1String("code")) {
        QCOMPARE(rc, kInjected);
    } else {
        QCOMPARE(rc, KEYPROBE_OK);
        const int second = 7 + (uchar(expected[5]) << 8 | uchar(expected[6]));
        const QByteArray want = cert == QLatin1String("ok")         ? expected
                                : cert == QLatin1String("less one") ? header(2) + expected.mid(second)
                                                                    : header(0);
        QCOMPARE(blob.left(int(length)).toHex(), want.toHex());
    }

    QVERIFY(m_skf.clearFaults());
    checkHandlesClosed(function.section('#', 0, 0));
}

// The private copy of the library looks for its SKF library in a folder of this test alone.
void TestProbe::missingThenAppearing()
{
    const QString dir = QStringLiteral(KEYPROBE_PRIVATE_SKF_DIR);
    const QString skfPath = dir + QStringLiteral("/liborvane.so.1.0.0");
    QVERIFY(QDir().mkpath(dir));
    QFile::remove(skfPath);
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    const QByteArray expected = fillToken({"c1:sm2:enc:sign"});

    ProbeLibrary probe;
    QVERIFY(probe.load(KEYPROBE_PRIVATE_LIB));
    {
        FdCapture capture;
        unsigned long count = 77;
        QCOMPARE(probe.online(&count), kNotBound);
        QCOMPARE(count, 77ul);
        quint32 rc = 0;
        probe.serialText(&rc);
        QCOMPARE(rc, kNotBound);
        probe.userCert(&rc);
        QCOMPARE(rc, kNotBound);
        QCOMPARE(probe.initialize(), -1L);
        // Several threads at once: each tries again and fails on its own.
        std::atomic<int> failed{0};
        runTogether(8, [&](int) {
            if (probe.initialize() == -1)
                ++failed;
        });
        QCOMPARE(failed.load(), 8);
        // The host program hears the loader once, however often the load was tried.
        const QList<QByteArray> lines = capture.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines.first().contains("liborvane.so.1.0.0"), lines.first().constData());
    }

    QVERIFY(QFile::copy(SoftSkfFixture::lib(), skfPath));
    FdCapture capture;
    std::atomic<int> loaded{0};
    runTogether(8, [&](int) {
        if (probe.initialize() == 0)
            ++loaded;
    });
    QCOMPARE(loaded.load(), 8);
    unsigned long count = 0;
    QCOMPARE(probe.online(&count), KEYPROBE_OK);
    QCOMPARE(count, 1ul);
    quint32 rc = 0;
    QCOMPARE(probe.serialText(&rc), QByteArray("SN-TOKEN1"));
    QCOMPARE(probe.userCert(&rc).toHex(), expected.toHex());
    QVERIFY(capture.lines().isEmpty());
}

// A library lacking some names is used all the same: queries that need a missing function
// answer 0xFFFFFFFF, the others work, and nothing is reported as a load failure.
void TestProbe::partialLibrary()
{
    const QString dir = QStringLiteral(KEYPROBE_PARTIAL_SKF_DIR);
    QVERIFY(QDir().mkpath(dir));
    QFile::remove(dir + QStringLiteral("/liborvane.so.1.0.0"));
    QVERIFY(QFile::copy(QStringLiteral(SKF_PARTIAL_FAKE), dir + QStringLiteral("/liborvane.so.1.0.0")));
    ProbeLibrary probe;
    QVERIFY(probe.load(KEYPROBE_PARTIAL_LIB));

    FdCapture capture;
    QCOMPARE(probe.initialize(), 0L);
    unsigned long count = 0;
    QCOMPARE(probe.online(&count), KEYPROBE_OK);
    QCOMPARE(count, 1ul);
    quint32 rc = 0;
    QCOMPARE(probe.serialText(&rc), QByteArray("FAKE-0001"));
    probe.userCert(&rc);
    QCOMPARE(rc, kNotBound); // SKF_OpenApplication is missing
    QCOMPARE(probe.initialize(), 0L);
    QVERIFY(capture.lines().isEmpty());
}

void TestProbe::concurrentQueries()
{
    QVERIFY(m_skf.createToken(SoftSkfFixture::TokenSpec()));
    const QByteArray expected = fillToken({"c1:sm2:enc:sign", "c2:rsa1024:enc"});
    std::atomic<int> good{0};
    runTogether(4, [&](int) {
        for (int i = 0; i < 5; ++i) {
            quint32 rc = 0;
            unsigned long count = 0;
            if (m_probe.userCert(&rc) == expected && m_probe.online(&count) == KEYPROBE_OK && count == 1 &&
                m_probe.serialText(&rc) == "SN-TOKEN1")
                ++good;
        }
    });
    QCOMPARE(good.load(), 20);
    checkHandlesClosed();
}

// The shipped C example, run as its own program against the same token.
void TestProbe::example()
{
    SoftSkfFixture::TokenSpec spec;
    spec.serial = QStringLiteral("EX-0042");
    QVERIFY(m_skf.createToken(spec));
    QVERIFY(!fillToken({"c1:sm2:enc:sign", "c2:empty", "c3:rsa1024:enc"}).isEmpty());
    const int encLength = m_skf.certDer("TOKEN1", "c1", false).size();
    const int signLength = m_skf.certDer("TOKEN1", "c1", true).size();
    const int rsaLength = m_skf.certDer("TOKEN1", "c3", false).size();

    QProcess process;
    process.start(QStringLiteral(KEYPROBE_EXAMPLE), {QStringLiteral(KEYPROBE_LIB)});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    const QString expected = QStringLiteral("tokens: 1\n"
                                            "serial: EX-0042\n"
                                            "certificates: 3\n"
                                            "  item 1: tag 0xC3, %1 bytes\n"
                                            "  item 2: tag 0xC2, %2 bytes\n"
                                            "  item 3: tag 0xC1, %3 bytes\n")
                                 .arg(encLength)
                                 .arg(signLength)
                                 .arg(rsaLength);
    QCOMPARE(QString::fromLatin1(process.readAllStandardOutput()), expected);
}

// Building 128 containers takes a while: ctest runs itemCountStaysInOneByte as a test of its own,
// and with KEYPROBE_SKIP_ITEM_CAP set the main run names every other case instead.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    TestProbe test;
    QStringList args = app.arguments();
    if (args.size() == 1 && qEnvironmentVariableIsSet("KEYPROBE_SKIP_ITEM_CAP")) {
        const QMetaObject* meta = test.metaObject();
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
            const QByteArray name = meta->method(i).name();
            if (meta->method(i).access() == QMetaMethod::Private && !name.endsWith("_data") &&
                !name.endsWith("TestCase") && name != "init" && name != "cleanup" && name != "itemCountStaysInOneByte")
                args << QString::fromLatin1(name);
        }
    }
    return QTest::qExec(&test, args);
}
#include "tst_probe.moc"
