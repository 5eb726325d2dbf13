// The SKF call table: loading, the loader's messages and errors, empty entries, and forwarding
// that passes arguments and results through unchanged.
#include "CGMSKFOperator.h"
#include "fakeaccess.h"

#include <QProcess>
#include <QtTest>

#include <dlfcn.h>

#include <functional>

namespace {

// Calls a forwarding operation with value-initialised arguments (null pointers, zeros).
template <typename... A> ULONG callWithZeros(CGMSKFOperator& table, ULONG (CGMSKFOperator::*op)(A...))
{
    return (table.*op)(A{}...);
}

struct Forwarder
{
    const char* name;
    std::function<ULONG(CGMSKFOperator&)> call;
};

const std::vector<Forwarder>& forwarders()
{
#define SKF_FORWARDER(name) {#name, [](CGMSKFOperator& t) { return callWithZeros(t, &CGMSKFOperator::name); }},
    static const std::vector<Forwarder> all = {SKF_CALL_TABLE(SKF_FORWARDER)};
#undef SKF_FORWARDER
    return all;
}

// The names the scripted library exports.
const QStringList kScriptedNames = {"SKF_WaitForDevEvent",   "SKF_CancelWaitForDevEvent",
                                    "SKF_EnumDev",           "SKF_ConnectDev",
                                    "SKF_GetDevInfo",        "SKF_GenRandom",
                                    "SKF_EnumApplication",   "SKF_OpenApplication",
                                    "SKF_DeleteApplication", "SKF_EnumContainer",
                                    "SKF_OpenContainer",     "SKF_GetContainerType",
                                    "SKF_DeleteContainer",   "SKF_GetPINInfo",
                                    "SKF_ExportCertificate"};

} // namespace

class TestSkfOperator : public QObject
{
    Q_OBJECT
private slots:
    void unloadableLibrary_data();
    void unloadableLibrary();
    void emptyEntriesReturnNotBound_data();
    void emptyEntriesReturnNotBound();
    void partialLibrary();
    void forwardingPassesThrough();
    void softskfBindsEveryName();
};

void TestSkfOperator::unloadableLibrary_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("missing file") << QByteArray("/nonexistent/lib/liborvane.so.1.0.0");
    QTest::newRow("not a library") << QByteArray(qgetenv("KEYMGR_SOURCE_DIR") + "/token/skf_defs.h");
    QTest::newRow("empty path") << QByteArray("");
    QTest::newRow("no path") << QByteArray();
}

void TestSkfOperator::unloadableLibrary()
{
    QFETCH(QByteArray, path);
    CGMSKFOperator table;
    int result = 0;
    const QByteArray err = captureFd(2, [&] { result = table.LoadSKFAPI(path.isNull() ? nullptr : path.constData()); });
    QCOMPARE(result, -1);
    QCOMPARE(err.count('\n'), 1);
    QVERIFY(err.endsWith('\n'));
    QVERIFY(!table.hLibrary);
    QCOMPARE(table.IsValid(), 1);
    QVERIFY(!dlerror());
}

void TestSkfOperator::emptyEntriesReturnNotBound_data()
{
    QTest::addColumn<int>("index");
    for (int i = 0; i < int(forwarders().size()); ++i)
        QTest::newRow(forwarders()[i].name) << i;
}

void TestSkfOperator::emptyEntriesReturnNotBound()
{
    QFETCH(int, index);
    CGMSKFOperator table;
    QCOMPARE(uint(forwarders()[index].call(table)), uint(SKF_NOT_BOUND));
}

void TestSkfOperator::partialLibrary()
{
    const QByteArray path = qgetenv("TOKEN_SCRIPTFAKE");
    CGMSKFOperator table;
    QByteArray err = captureFd(2, [&] { QCOMPARE(table.LoadSKFAPI(path.constData()), 0); });
    QVERIFY2(err.isEmpty(), err.constData());
    QVERIFY(table.hLibrary);
    // Missing names are not an error and leave no loader error behind.
    QVERIFY(!dlerror());
    QCOMPARE(table.IsValid(), 1);
    int bound = 0;
    for (const Forwarder& f : forwarders()) {
        const bool exported = kScriptedNames.contains(f.name);
        QCOMPARE(table.GetProcAddress(table.hLibrary, f.name) != nullptr, exported);
        if (!exported)
            QCOMPARE(uint(f.call(table)), uint(SKF_NOT_BOUND));
        bound += exported;
    }
    QCOMPARE(bound, kScriptedNames.size());
}

void TestSkfOperator::forwardingPassesThrough()
{
    const QByteArray path = qgetenv("TOKEN_SCRIPTFAKE");
    CGMSKFOperator table;
    QCOMPARE(table.LoadSKFAPI(path.constData()), 0);
    ScriptFake* fake = scriptFakeAt(path);
    QVERIFY(fake);

    resetList(fake->devices, QByteArray("TOKEN-A\0\0", 9));
    ULONG size = 0;
    QCOMPARE(table.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_OK));
    QCOMPARE(size, ULONG(9));
    char small[4];
    size = sizeof(small);
    QCOMPARE(table.SKF_EnumDev(TRUE, small, &size), ULONG(SAR_BUFFER_TOO_SMALL));
    QCOMPARE(size, ULONG(9));

    fake->connected.clear();
    char name[] = "TOKEN-A";
    DEVHANDLE dev = nullptr;
    QCOMPARE(table.SKF_ConnectDev(name, &dev), ULONG(SAR_OK));
    QCOMPARE(dev, reinterpret_cast<DEVHANDLE>(0xD0));
    QCOMPARE(fake->connected, std::vector<std::string>{"TOKEN-A"});

    fake->certificate.clear();
    ULONG length = 0;
    QCOMPARE(table.SKF_ExportCertificate(nullptr, TRUE, nullptr, &length), ULONG(SAR_CERTNOTFOUNTERR));
    QCOMPARE(table.UNLoadLibrary(dlopen(path.constData(), RTLD_LAZY)), 0);
}

void TestSkfOperator::softskfBindsEveryName()
{
    const QByteArray path = qgetenv("SOFTSKF_LIB");
    const QString ctl = qEnvironmentVariable("SOFTSKF_CTL");
    QCOMPARE(QProcess::execute(ctl, {"init"}), 0);
    QCOMPARE(QProcess::execute(ctl, {"create", "TOKEN-S"}), 0);
    CGMSKFOperator table;
    QCOMPARE(table.LoadSKFAPI(path.constData()), 0);
    QVERIFY(!dlerror());
    QCOMPARE(table.IsValid(), 0);

    // A result the library chooses comes back unchanged, whatever its value.
    for (const char* code : {"0x0A000001", "0x12345678", "0x0A000023"}) {
        QCOMPARE(QProcess::execute(ctl, {"fail", "SKF_EnumDev", code}), 0);
        ULONG size = 0;
        QCOMPARE(table.SKF_EnumDev(TRUE, nullptr, &size), ULONG(QByteArray(code).toUInt(nullptr, 16)));
    }
    QCOMPARE(QProcess::execute(ctl, {"clear-faults"}), 0);
    ULONG size = 0;
    QCOMPARE(table.SKF_EnumDev(TRUE, nullptr, &size), ULONG(SAR_OK));
    QVERIFY(size >= 9);
}

QTEST_GUILESS_MAIN(TestSkfOperator)
#include "tst_skfoperator.moc"
