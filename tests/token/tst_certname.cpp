// The common name read from a certificate subject: which entry wins, how long names are cut, and
// values that carry no terminating zero. No SKF library is involved.
#include "cDevMgr.h"

#include <QtTest>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>

namespace {

// Adds one entry "FIELD:KIND" with value (UTF-8 text). KIND utf8, printable, bmp, or bare: a
// UTF8String whose content is exactly the bytes, with no zero behind them.
void addEntry(X509_NAME* name, const QString& spec, const QByteArray& value)
{
    const QString field = spec.section(':', 0, 0);
    const QString kind = spec.section(':', 1, 1);
    const int nid = OBJ_txt2nid(field.toLatin1().constData());
    QByteArray bytes = value;
    int type = V_ASN1_UTF8STRING;
    if (kind == "printable")
        type = V_ASN1_PRINTABLESTRING;
    if (kind == "bmp") {
        type = V_ASN1_BMPSTRING;
        const QString text = QString::fromUtf8(value);
        bytes.clear();
        for (QChar c : text)
            bytes.append(char(c.unicode() >> 8)).append(char(c.unicode() & 0xFF));
    }
    X509_NAME_ENTRY* entry = X509_NAME_ENTRY_create_by_NID(
        nullptr, nid, type, reinterpret_cast<const unsigned char*>(bytes.constData()), bytes.size());
    X509_NAME_add_entry(name, entry, -1, 0);
    X509_NAME_ENTRY_free(entry);
    if (kind == "bare") {
        ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, X509_NAME_entry_count(name) - 1));
        void* exact = OPENSSL_malloc(bytes.size() ? bytes.size() : 1);
        std::memcpy(exact, bytes.constData(), bytes.size());
        ASN1_STRING_set0(data, exact, bytes.size());
    }
}

QByteArray repeat(const char* unit, int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += unit;
    return out;
}

} // namespace

class TestCertName : public QObject
{
    Q_OBJECT
private slots:
    void commonName_data();
    void commonName();
    void nullSubject();
};

void TestCertName::commonName_data()
{
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QByteArrayList>("values");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray untouched("untouched");
    QTest::newRow("single") << QStringList{"CN:utf8"} << QByteArrayList{"Alice"} << QByteArray("Alice");
    QTest::newRow("no common name") << QStringList{"O:utf8", "C:printable"} << QByteArrayList{"Bank", "CN"}
                                    << untouched;
    QTest::newRow("later one wins") << QStringList{"CN:utf8", "O:utf8", "CN:printable"}
                                    << QByteArrayList{"first", "Bank", "second"} << QByteArray("second");
    QTest::newRow("empty") << QStringList{"CN:utf8"} << QByteArrayList{""} << QByteArray("");
    QTest::newRow("127 bytes") << QStringList{"CN:utf8"} << QByteArrayList{QByteArray(127, 'a')}
                               << QByteArray(127, 'a');
    QTest::newRow("200 bytes") << QStringList{"CN:utf8"} << QByteArrayList{QByteArray(200, 'a')}
                               << QByteArray(127, 'a');
    QTest::newRow("three-byte characters cut whole")
        << QStringList{"CN:utf8"} << QByteArrayList{repeat("\xE4\xB8\xAD", 50)} << repeat("\xE4\xB8\xAD", 42);
    QTest::newRow("four-byte characters cut whole")
        << QStringList{"CN:utf8"} << QByteArrayList{repeat("\xF0\x9F\x98\x80", 40)} << repeat("\xF0\x9F\x98\x80", 31);
    QTest::newRow("mixed widths at the cut")
        << QStringList{"CN:utf8"} << QByteArrayList{QByteArray(126, 'b') + "\xC3\xA9" + "tail"} << QByteArray(126, 'b');
    QTest::newRow("zero inside the value")
        << QStringList{"CN:utf8"} << QByteArrayList{QByteArray("ab\0cd", 5)} << QByteArray("ab");
    QTest::newRow("BMPString") << QStringList{"CN:bmp"} << QByteArrayList{"\xE5\xBC\xA0\xE4\xB8\x89"}
                               << QByteArray("\xE5\xBC\xA0\xE4\xB8\x89");
    QTest::newRow("no terminating zero, short")
        << QStringList{"CN:bare"} << QByteArrayList{"short"} << QByteArray("short");
    QTest::newRow("no terminating zero, long")
        << QStringList{"CN:bare"} << QByteArrayList{QByteArray(300, 'z')} << QByteArray(127, 'z');
}

void TestCertName::commonName()
{
    QFETCH(QStringList, fields);
    QFETCH(QByteArrayList, values);
    QFETCH(QByteArray, expected);

    X509_NAME* name = X509_NAME_new();
    for (int i = 0; i < fields.size(); ++i)
        addEntry(name, fields[i], values[i]);
    char dst[128];
    std::memset(dst, 'Q', sizeof(dst));
    std::strcpy(dst, "untouched");
    QCOMPARE(cDevMgr::getInst()->getX509Name(name, dst), 1);
    QCOMPARE(QByteArray(dst), expected);
    QVERIFY(std::memchr(dst, '\0', sizeof(dst)));
    X509_NAME_free(name);
}

void TestCertName::nullSubject()
{
    char dst[128] = "untouched";
    QCOMPARE(cDevMgr::getInst()->getX509Name(nullptr, dst), 0);
    QCOMPARE(QByteArray(dst), QByteArray("untouched"));
}

QTEST_APPLESS_MAIN(TestCertName)
#include "tst_certname.moc"
