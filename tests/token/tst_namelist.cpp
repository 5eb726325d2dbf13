// The name-list and DEVINFO text readers against every shape a broken library can hand back.
// Each buffer is a heap block of exactly its capacity, so a read past it trips the sanitizers.
#include "namelist.h"

#include <QtTest>

#include <cstring>
#include <memory>

namespace {

QStringList toList(const std::vector<std::string>& names)
{
    QStringList list;
    for (const std::string& name : names)
        list << QString::fromStdString(name);
    return list;
}

std::unique_ptr<char[]> exactBuffer(const QByteArray& bytes, int capacity)
{
    std::unique_ptr<char[]> buf(new char[capacity]);
    std::memset(buf.get(), 'X', capacity);
    std::memcpy(buf.get(), bytes.constData(), std::min(bytes.size(), capacity));
    return buf;
}

// A library answering the size-then-fetch protocol from a script.
struct ListScript
{
    QByteArray before;     // the list at the size call
    QByteArray after;      // the list at the fetch (differs when it grew)
    bool truncate = false; // a small buffer gets what fits and success
    ULONG extraReported = 0;
    ULONG sizeResult = SAR_OK;
    ULONG fetchResult = SAR_OK;
    ULONG forcedSize = 0;       // when set: the size call reports this
    ULONG firstFetchResult = 0; // when set: the first fetch fails with it
    int fetches = 0;
    int calls = 0;

    ULONG operator()(LPSTR list, ULONG* size)
    {
        ++calls;
        if (!list) {
            *size = forcedSize ? forcedSize : static_cast<ULONG>(before.size());
            return sizeResult;
        }
        if (++fetches == 1 && firstFetchResult != SAR_OK)
            return firstFetchResult;
        if (fetchResult != SAR_OK)
            return fetchResult;
        if (*size < static_cast<ULONG>(after.size()) && !truncate) {
            *size = after.size();
            return SAR_BUFFER_TOO_SMALL;
        }
        std::memcpy(list, after.constData(), std::min<ULONG>(*size, after.size()));
        *size = after.size() + extraReported;
        return SAR_OK;
    }
};

} // namespace

class TestNameList : public QObject
{
    Q_OBJECT
private slots:
    void split_data();
    void split();
    void firstName_data();
    void firstName();
    void fetch_data();
    void fetch();
    void fetchRefusesHugeSize_data();
    void fetchRefusesHugeSize();
    void fixedText_data();
    void fixedText();
};

void TestNameList::split_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("capacity");
    QTest::addColumn<int>("reported");
    QTest::addColumn<QStringList>("names");

    const QByteArray ab("A\0B\0\0", 5);
    QTest::newRow("two names") << ab << 5 << 5 << QStringList{"A", "B"};
    QTest::newRow("empty list, size 1") << QByteArray("\0", 1) << 1 << 1 << QStringList{};
    QTest::newRow("empty list, size 0") << QByteArray() << 1 << 0 << QStringList{};
    QTest::newRow("empty list, size 2") << QByteArray("\0\0", 2) << 2 << 2 << QStringList{};
    QTest::newRow("no final zero") << QByteArray("A\0B\0", 4) << 4 << 4 << QStringList{"A", "B"};
    QTest::newRow("last name unterminated inside buffer")
        << QByteArray("A\0BC\0\0\0\0", 8) << 8 << 4 << QStringList{"A", "BC"};
    QTest::newRow("last name cut by buffer end") << QByteArray("A\0BCD", 5) << 5 << 9 << QStringList{"A"};
    QTest::newRow("size larger than buffer") << ab << 5 << 100 << QStringList{"A", "B"};
    QTest::newRow("size beyond buffer, zero only in last byte")
        << QByteArray("A\0B\0", 4) << 4 << 100 << QStringList{"A"};
    QTest::newRow("size smaller than list") << ab << 5 << 2 << QStringList{"A"};
    QTest::newRow("empty name ends list") << QByteArray("A\0\0B\0\0", 6) << 6 << 6 << QStringList{"A"};
    QTest::newRow("first name empty") << QByteArray("\0B\0\0", 4) << 4 << 4 << QStringList{};
    QTest::newRow("no zero anywhere") << QByteArray(16, 'N') << 16 << 16 << QStringList{};
    QTest::newRow("no zero, size beyond") << QByteArray(16, 'N') << 16 << 0x7FFFFFFF << QStringList{};
    QTest::newRow("multibyte names") << QByteArray("\xE4\xB8\xAD\0key-2\0\0", 11) << 11 << 11
                                     << QStringList{QString::fromUtf8("\xE4\xB8\xAD"), "key-2"};
}

void TestNameList::split()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, capacity);
    QFETCH(int, reported);
    QFETCH(QStringList, names);
    auto buf = exactBuffer(bytes, capacity);
    QCOMPARE(toList(keymgr::splitNameList(buf.get(), capacity, reported)), names);
}

void TestNameList::firstName_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("reported");
    QTest::addColumn<QString>("first");

    QTest::newRow("first of two") << QByteArray("APP1\0APP2\0\0", 11) << 11 << "APP1";
    QTest::newRow("empty") << QByteArray("\0", 1) << 1 << "";
    QTest::newRow("buffer full, no zero") << QByteArray(32, 'Q') << 40 << "";
    QTest::newRow("only name, no zero, size ends it") << QByteArray("APP\0", 4) << 3 << "APP";
}

void TestNameList::firstName()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, reported);
    QFETCH(QString, first);
    auto buf = exactBuffer(bytes, bytes.size());
    QCOMPARE(QString::fromStdString(keymgr::firstName(buf.get(), bytes.size(), reported)), first);
    QCOMPARE(keymgr::firstName(nullptr, 10, 10), std::string());
}

void TestNameList::fetch_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("truncate");
    QTest::addColumn<uint>("extraReported");
    QTest::addColumn<uint>("sizeResult");
    QTest::addColumn<uint>("fetchResult");
    QTest::addColumn<uint>("firstTry");
    QTest::addColumn<uint>("firstFetchResult");
    QTest::addColumn<uint>("result");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<int>("calls");

    const QByteArray one("DEV1\0\0", 6);
    const QByteArray two("DEV1\0DEVICE-TWO\0\0", 17);
    const QStringList both{"DEV1", "DEVICE-TWO"};
    QTest::newRow("plain") << two << two << false << 0u << 0u << 0u << 0u << 0u << 0u << both << 2;
    QTest::newRow("empty list") << QByteArray("\0", 1) << QByteArray("\0", 1) << false << 0u << 0u << 0u << 0u << 0u
                                << 0u << QStringList{} << 2;
    QTest::newRow("grew, library says too small")
        << one << two << false << 0u << 0u << 0u << 0u << 0u << 0u << both << 3;
    QTest::newRow("grew, library truncates") << one << two << true << 0u << 0u << 0u << 0u << 0u << 0u << both << 3;
    QTest::newRow("size always beyond buffer")
        << two << two << false << 500u << 0u << 0u << 0u << 0u << 0u << both << 3;
    QTest::newRow("no final zero") << QByteArray("DEV1\0DEV2\0", 10) << QByteArray("DEV1\0DEV2\0", 10) << false << 0u
                                   << 0u << 0u << 0u << 0u << 0u << QStringList{"DEV1", "DEV2"} << 2;
    QTest::newRow("size call fails") << two << two << false << 0u << uint(SAR_DEVICE_REMOVED) << 0u << 0u << 0u
                                     << uint(SAR_DEVICE_REMOVED) << QStringList{} << 1;
    QTest::newRow("fetch fails") << two << two << false << 0u << 0u << uint(SAR_FAIL) << 0u << 0u << uint(SAR_FAIL)
                                 << QStringList{} << 2;
    // A first try that fits asks no size: one call on a slow token.
    QTest::newRow("first try fits") << two << two << false << 0u << 0u << 0u << 64u << 0u << 0u << both << 1;
    QTest::newRow("first try too small") << two << two << false << 0u << 0u << 0u << 4u << 0u << 0u << both << 2;
    QTest::newRow("first try truncated") << two << two << true << 0u << 0u << 0u << 4u << 0u << 0u << both << 2;
    QTest::newRow("first try refused otherwise")
        << two << two << false << 0u << 0u << 0u << 64u << uint(SAR_INDATALENERR) << 0u << both << 3;
    QTest::newRow("first try fails, size call too")
        << two << two << false << 0u << uint(SAR_DEVICE_REMOVED) << 0u << 64u << uint(SAR_DEVICE_REMOVED)
        << uint(SAR_DEVICE_REMOVED) << QStringList{} << 2;
    QTest::newRow("first try refused, then the fetch") << two << two << false << 0u << 0u << uint(SAR_FAIL) << 64u
                                                       << uint(SAR_INDATALENERR) << uint(SAR_FAIL) << QStringList{} << 3;
}

void TestNameList::fetch()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(bool, truncate);
    QFETCH(uint, extraReported);
    QFETCH(uint, sizeResult);
    QFETCH(uint, fetchResult);
    QFETCH(uint, firstTry);
    QFETCH(uint, firstFetchResult);
    QFETCH(uint, result);
    QFETCH(QStringList, names);
    QFETCH(int, calls);

    ListScript script;
    script.before = before;
    script.after = after;
    script.truncate = truncate;
    script.extraReported = extraReported;
    script.sizeResult = sizeResult;
    script.fetchResult = fetchResult;
    script.firstFetchResult = firstFetchResult;
    std::vector<std::string> got{"stale"};
    QCOMPARE(uint(keymgr::fetchNameList(std::ref(script), &got, firstTry)), result);
    QCOMPARE(toList(got), names);
    QCOMPARE(script.calls, calls);
    QVERIFY(script.fetches <= 4);
}

void TestNameList::fetchRefusesHugeSize_data()
{
    QTest::addColumn<uint>("size");
    QTest::addColumn<uint>("result");
    QTest::newRow("4 GiB") << 0xFFFFFFFFu << uint(SAR_MEMORYERR);
    QTest::newRow("a byte beyond the limit") << uint(keymgr::kMaxNameListSize + 1) << uint(SAR_MEMORYERR);
    QTest::newRow("the limit") << uint(keymgr::kMaxNameListSize) << uint(SAR_OK);
}

void TestNameList::fetchRefusesHugeSize()
{
    QFETCH(uint, size);
    QFETCH(uint, result);
    ListScript script;
    script.forcedSize = size;
    std::vector<std::string> got;
    QCOMPARE(uint(keymgr::fetchNameList(std::ref(script), &got)), result);
    QCOMPARE(script.fetches, result == SAR_OK ? 1 : 0);
    QCOMPARE(keymgr::fetchNameList(std::ref(script), nullptr), ULONG(SAR_INVALIDPARAMERR));
}

void TestNameList::fixedText_data()
{
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("text");
    QTest::newRow("terminated") << QByteArray("SN0001\0\0", 8) << "SN0001";
    QTest::newRow("fills the field") << QByteArray("0123456789ABCDEF0123456789ABCDEF", 32)
                                     << "0123456789ABCDEF0123456789ABCDEF";
    QTest::newRow("empty") << QByteArray(32, '\0') << "";
}

void TestNameList::fixedText()
{
    QFETCH(QByteArray, field);
    QFETCH(QString, text);
    auto buf = exactBuffer(field, field.size());
    QCOMPARE(QString::fromStdString(keymgr::fixedText(buf.get(), field.size())), text);

    DEVINFO info;
    std::memset(&info, 'L', sizeof(info));
    QCOMPARE(keymgr::fixedText(info.Label).size(), sizeof(info.Label));
    QCOMPARE(keymgr::fixedText(info.SerialNumber).size(), sizeof(info.SerialNumber));
}

QTEST_APPLESS_MAIN(TestNameList)
#include "tst_namelist.moc"
