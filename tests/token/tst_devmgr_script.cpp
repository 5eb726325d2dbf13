// The device manager against the scripted library: the answers of a broken library (sizes beyond
// the buffer, missing terminators, lists that grow, a 64-bit BOOL) and the argument checks.
#include "cDevMgr.h"
#include "fakeaccess.h"
#include "softskf_fixture.h"
#include "together.h"

#include <QtTest>

#include <cstring>

namespace {

HANDLE sentinel(uintptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

QByteArray repeatedNames(const char* stem, int count)
{
    QByteArray list;
    for (int i = 0; i < count; ++i)
        list += QByteArray(stem) + QByteArray::number(i).rightJustified(4, '0') + '\0';
    return list;
}

} // namespace

class TestDevMgrScript : public QObject
{
    Q_OBJECT
private slots:
    void singleManagerAcrossThreads();
    void operationsWithoutLibrary_data();
    void operationsWithoutLibrary();
    void missingLibraryLeavesTableEmpty_data();
    void missingLibraryLeavesTableEmpty();
    void loadsOnce();
    void connectDev();
    void getDevInfo_data();
    void getDevInfo();
    void getDevInfoKeepsApplicationAndContainer();
    void setDevName_data();
    void setDevName();
    void pinDefaultFlag_data();
    void pinDefaultFlag();
    void clearEmptyContainers_data();
    void clearEmptyContainers();
    void clearEmptyContainersWritesOneLinePerContainer();
    void clearEmptyContainersWholeLists_data();
    void clearEmptyContainersWholeLists();
    void authKeyChecksTouchNothing_data();
    void authKeyChecksTouchNothing();
    void certName_data();
    void certName();

private:
    cDevMgr* m_mgr = nullptr;
    ScriptFake* m_fake = nullptr;
};

void TestDevMgrScript::singleManagerAcrossThreads()
{
    // The first getInst() of the process, from eight threads at once.
    cDevMgr* seen[8] = {};
    runTogether(8, [&](int i) { seen[i] = cDevMgr::getInst(); });
    for (cDevMgr* mgr : seen)
        QCOMPARE(mgr, seen[0]);
    QVERIFY(seen[0]);
    m_mgr = seen[0];
}

void TestDevMgrScript::operationsWithoutLibrary_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<uint>("result");
    const char* names[] = {"WaitForDevEvent",  "ConnectDev",          "getDevInfo",         "SetDevLabel",
                           "EnumApplication",  "OpenApplication",     "EnumContainer",      "OpenContainer",
                           "DeleteContainer",  "ImportCertificate",   "ExportCertificate",  "ExportPublicKey",
                           "GetPINInfo",       "VerifyPIN",           "ChangePIN",          "UnblockPIN",
                           "DevAuth",          "ChangeDevAuthKey",    "ChangeDevAuthKeyEx", "Initialize(token)",
                           "GetContainerInfo", "ClearEmptyContainers"};
    for (int i = 0; i < int(sizeof(names) / sizeof(names[0])); ++i) {
        // Without a device handle the clean-up reports the missing device before anything else.
        const uint expected = i == 21 ? uint(SAR_DEVICE_REMOVED) : uint(SKF_NOT_BOUND);
        QTest::newRow(names[i]) << i << expected;
    }
}

void TestDevMgrScript::operationsWithoutLibrary()
{
    QFETCH(int, op);
    QFETCH(uint, result);
    cDevMgr* m = cDevMgr::getInst();
    QVERIFY(!m->pSKF);
    char buf[64] = {};
    BYTE bytes[64] = {};
    ULONG size = sizeof(buf);
    ULONG a = 0, b = 0;
    BOOL flag = 7;
    ContainerInfo info;
    info.ContainerType = 9;
    DEVINFO dev;
    ULONG got = 0;
    switch (op) {
    case 0:
        got = m->WaitForDevEvent(buf, &size, &a);
        break;
    case 1:
        got = m->ConnectDev("TOKEN");
        break;
    case 2:
        got = m->getDevInfo("TOKEN", &dev);
        break;
    case 3:
        got = m->SetDevLabel("label", 5);
        break;
    case 4:
        got = m->EnumApplication(buf, &size);
        break;
    case 5:
        got = m->OpenApplication("APP");
        break;
    case 6:
        got = m->EnumContainer(buf, &size);
        break;
    case 7:
        got = m->OpenContainer("C");
        break;
    case 8:
        got = m->DeleteContainer("C");
        break;
    case 9:
        got = m->ImportCertificate(TRUE, bytes, 10);
        break;
    case 10:
        got = m->ExportCertificate(TRUE, bytes, &size);
        break;
    case 11:
        got = m->ExportPublicKey(TRUE, bytes, &size);
        break;
    case 12:
        got = m->GetPINInfo(1, &a, &b, &flag);
        break;
    case 13:
        got = m->VerifyPIN(1, "12345678", &a);
        break;
    case 14:
        got = m->ChangePIN(1, "12345678", "abcDEF12", &a);
        break;
    case 15:
        got = m->UnblockPIN("12345678", "abcDEF12", &a);
        break;
    case 16:
        got = m->DevAuth("1234567812345678", 16);
        break;
    case 17:
        got = m->ChangeDevAuthKey("1234567812345678", 16);
        break;
    case 18:
        got = m->ChangeDevAuthKeyEx("1234567812345678", 16, "8765432187654321", 16);
        break;
    case 19:
        got = m->Initialize("1234567812345678", 16, "label", "12345678", "12345678");
        break;
    case 20:
        got = m->GetContainerInfo(&info);
        QCOMPARE(int(info.ContainerType), 0);
        break;
    case 21:
        got = m->ClearEmptyContainers();
        break;
    }
    QCOMPARE(uint(got), result);
    QCOMPARE(m->getCertName(true, buf), -1);
}

void TestDevMgrScript::missingLibraryLeavesTableEmpty_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing") << QStringLiteral("/nonexistent/liborvane.so.1.0.0") << "the file is missing";
    const QString notElf = QDir(qEnvironmentVariable("TMPDIR")).filePath("not-a-library.so");
    QFile file(notElf);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("plain text") > 0);
    QTest::newRow("not a library") << notElf << "the file does not load";
}

// Qt's warning channel is the one that still reaches someone once the program has daemonised.
static QStringList s_warnings;
static void collectWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        s_warnings << text;
}

void TestDevMgrScript::missingLibraryLeavesTableEmpty()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    const QByteArray local = path.toLocal8Bit();
    cDevMgr::setLibraryPathForTesting(local.constData());
    s_warnings.clear();
    QtMessageHandler previous = qInstallMessageHandler(collectWarning);
    int result = 0;
    const QByteArray err = captureFd(2, [&] { result = m_mgr->Initialize(); });
    qInstallMessageHandler(previous);
    QCOMPARE(result, -1);
    QVERIFY(!m_mgr->pSKF);
    QCOMPARE(err.count('\n'), 1);
    QCOMPARE(s_warnings.size(), 1);
    QVERIFY2(s_warnings.first().contains(path) && s_warnings.first().contains(reason), qPrintable(s_warnings.first()));
}

void TestDevMgrScript::loadsOnce()
{
    const QByteArray path = qgetenv("TOKEN_SCRIPTFAKE");
    QVERIFY(!path.isEmpty());
    cDevMgr::setLibraryPathForTesting(path.constData());
    QCOMPARE(m_mgr->Initialize(), 0);
    CGMSKFOperator* table = m_mgr->pSKF;
    QVERIFY(table);
    // A second load keeps the table the interface thread may already be using.
    QCOMPARE(m_mgr->Initialize(), 0);
    QCOMPARE(m_mgr->pSKF.get(), table);
    m_fake = scriptFakeAt(path);
    QVERIFY(m_fake);
}

void TestDevMgrScript::connectDev()
{
    m_mgr->hDev = sentinel(0x11);
    m_mgr->hApplication = sentinel(0x22);
    m_mgr->hContainer = sentinel(0x33);
    QCOMPARE(m_mgr->ConnectDev(nullptr), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_mgr->hDev, sentinel(0x11));
    QCOMPARE(m_mgr->hApplication, sentinel(0x22));
    QCOMPARE(m_mgr->hContainer, sentinel(0x33));

    QCOMPARE(m_mgr->ConnectDev("TOKEN-A"), ULONG(SAR_OK));
    QCOMPARE(m_mgr->hDev, sentinel(0xD0));
    QVERIFY(!m_mgr->hApplication);
    QVERIFY(!m_mgr->hContainer);
}

void TestDevMgrScript::getDevInfo_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("grown");
    QTest::addColumn<uint>("extraReported");
    QTest::addColumn<bool>("truncate");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<uint>("result");

    const QByteArray two("TOKEN-A\0TOKEN-B\0\0", 17);
    QTest::newRow("listed") << two << QByteArray() << 0u << false << QByteArray("TOKEN-B") << uint(SAR_OK);
    QTest::newRow("longer name beginning with a listed one")
        << two << QByteArray() << 0u << false << QByteArray("TOKEN-A-2") << uint(SAR_OK);
    QTest::newRow("not listed") << two << QByteArray() << 0u << false << QByteArray("OTHER")
                                << uint(SAR_INVALIDPARAMERR);
    QTest::newRow("shorter than the listed name")
        << two << QByteArray() << 0u << false << QByteArray("TOKEN") << uint(SAR_INVALIDPARAMERR);
    QTest::newRow("empty name") << two << QByteArray() << 0u << false << QByteArray("") << uint(SAR_INVALIDPARAMERR);
    QTest::newRow("empty list") << QByteArray("\0", 1) << QByteArray() << 0u << false << QByteArray("TOKEN-A")
                                << uint(SAR_INVALIDPARAMERR);
    QTest::newRow("no final zero") << QByteArray("TOKEN-A\0TOKEN-B\0", 16) << QByteArray() << 0u << false
                                   << QByteArray("TOKEN-B") << uint(SAR_OK);
    QTest::newRow("size beyond buffer") << two << QByteArray() << 64u << false << QByteArray("TOKEN-B") << uint(SAR_OK);
    QTest::newRow("grew, too small") << QByteArray("TOKEN-A\0\0", 9) << two << 0u << false << QByteArray("TOKEN-B")
                                     << uint(SAR_OK);
    QTest::newRow("grew, truncated") << QByteArray("TOKEN-A\0\0", 9) << two << 0u << true << QByteArray("TOKEN-B")
                                     << uint(SAR_OK);
    QTest::newRow("one name without any zero")
        << QByteArray(300, 'N') << QByteArray() << 0u << false << QByteArray("NNNN") << uint(SAR_INVALIDPARAMERR);
}

void TestDevMgrScript::getDevInfo()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, grown);
    QFETCH(uint, extraReported);
    QFETCH(bool, truncate);
    QFETCH(QByteArray, name);
    QFETCH(uint, result);

    resetList(m_fake->devices, list);
    m_fake->devices.grown.assign(grown.constData(), grown.size());
    m_fake->devices.extraReported = extraReported;
    m_fake->devices.truncateSilently = truncate;
    m_fake->connected.clear();
    std::memset(&m_fake->devInfo, '*', sizeof(m_fake->devInfo));
    m_fake->devInfo.DevAuthAlgId = SGD_SM4_ECB;
    m_fake->devInfo.TotalSpace = 65536;

    DEVINFO info;
    std::memset(&info, 0, sizeof(info));
    QCOMPARE(uint(m_mgr->getDevInfo(name.constData(), &info)), result);
    if (result == SAR_OK) {
        QCOMPARE(m_fake->connected.size(), size_t(1));
        QCOMPARE(QByteArray::fromStdString(m_fake->connected[0]), name);
        QCOMPARE(info.DevAuthAlgId, ULONG(SGD_SM4_ECB));
        QCOMPARE(info.TotalSpace, ULONG(65536));
    } else {
        QVERIFY(m_fake->connected.empty());
    }
}

void TestDevMgrScript::getDevInfoKeepsApplicationAndContainer()
{
    resetList(m_fake->devices, QByteArray("TOKEN-A\0\0", 9));
    m_mgr->hApplication = sentinel(0x22);
    m_mgr->hContainer = sentinel(0x33);
    DEVINFO info;
    QCOMPARE(m_mgr->getDevInfo("TOKEN-A", &info), ULONG(SAR_OK));
    QCOMPARE(m_mgr->hApplication, sentinel(0x22));
    QCOMPARE(m_mgr->hContainer, sentinel(0x33));
    QCOMPARE(m_mgr->getDevInfo("TOKEN-A", nullptr), ULONG(SAR_INVALIDPARAMERR));
}

void TestDevMgrScript::setDevName_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("kept");
    QTest::newRow("empty") << 0 << 0;
    QTest::newRow("short") << 9 << 9;
    QTest::newRow("63 bytes") << 63 << 63;
    QTest::newRow("64 bytes") << 64 << 63;
    QTest::newRow("1000 bytes") << 1000 << 63;
}

void TestDevMgrScript::setDevName()
{
    QFETCH(int, length);
    QFETCH(int, kept);
    QByteArray name(length, 'x');
    for (int i = 0; i < length; ++i)
        name[i] = char('A' + i % 26);
    m_mgr->SetDevName("previous-name");
    QCOMPARE(m_mgr->SetDevName(name.constData()), ULONG(SAR_OK));
    QCOMPARE(QByteArray::fromStdString(m_mgr->GetDevName()), name.left(kept));
    QCOMPARE(m_mgr->SetDevName(nullptr), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(QByteArray::fromStdString(m_mgr->GetDevName()), name.left(kept));
}

void TestDevMgrScript::pinDefaultFlag_data()
{
    QTest::addColumn<int>("bytes");
    QTest::addColumn<qulonglong>("written");
    QTest::addColumn<int>("flag");
    QTest::newRow("64-bit TRUE") << 8 << qulonglong(1) << 1;
    QTest::newRow("64-bit FALSE") << 8 << qulonglong(0) << 0;
    QTest::newRow("64-bit, only the high half set") << 8 << qulonglong(0x100000000ull) << 0;
    QTest::newRow("32-bit TRUE") << 4 << qulonglong(1) << 1;
    QTest::newRow("32-bit FALSE") << 4 << qulonglong(0) << 0;
}

void TestDevMgrScript::pinDefaultFlag()
{
    QFETCH(int, bytes);
    QFETCH(qulonglong, written);
    QFETCH(int, flag);
    m_fake->pinDefaultBytes = bytes;
    m_fake->pinDefault = written;
    ULONG max = 0, remain = 0;
    // A lone 32-bit BOOL: a library writing 8 bytes into it directly would overrun it.
    BOOL* isDefault = new BOOL(0x7777);
    QCOMPARE(m_mgr->GetPINInfo(USER_TYPE, &max, &remain, isDefault), ULONG(SAR_OK));
    QCOMPARE(*isDefault, flag);
    QCOMPARE(max, ULONG(6));
    QCOMPARE(remain, ULONG(5));
    delete isDefault;
}

void TestDevMgrScript::clearEmptyContainers_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("empty");
    QTest::addColumn<QStringList>("withKeys");
    QTest::addColumn<QStringList>("queryFails");
    QTest::addColumn<QStringList>("openFails");
    QTest::addColumn<QString>("openedBefore");
    QTest::addColumn<uint>("result");
    QTest::addColumn<QStringList>("deleted");
    QTest::addColumn<QStringList>("deleteFails");

    QTest::newRow("mixed types") << QByteArray("E1\0R1\0E2\0S1\0\0", 13) << QStringList{"E1", "E2"}
                                 << QStringList{"R1", "S1"} << QStringList{} << QStringList{} << QString()
                                 << uint(SAR_OK) << QStringList{"E1", "E2"} << QStringList{};
    // A failure early in the walk is not forgotten when later containers go well.
    QTest::newRow("failed type query keeps the container")
        << QByteArray("E3\0E1\0\0", 7) << QStringList{"E1", "E3"} << QStringList{} << QStringList{"E3"} << QStringList{}
        << QString() << uint(SAR_FAIL) << QStringList{"E1"} << QStringList{};
    QTest::newRow("no containers") << QByteArray("\0", 1) << QStringList{} << QStringList{} << QStringList{}
                                   << QStringList{} << QString() << uint(SAR_OK) << QStringList{} << QStringList{};
    // The container that fails to open must not be judged by the empty container opened before it.
    QTest::newRow("container that does not open")
        << QByteArray("K1\0E\0\0", 6) << QStringList{"E"} << QStringList{"K1"} << QStringList{} << QStringList{"K1"}
        << QString("E") << uint(SAR_FAIL) << QStringList{"E"} << QStringList{};
    QTest::newRow("list without final zero")
        << QByteArray("E1\0R1\0", 6) << QStringList{"E1"} << QStringList{"R1"} << QStringList{} << QStringList{}
        << QString() << uint(SAR_OK) << QStringList{"E1"} << QStringList{};
    // A refused deletion fails the clean-up even though every type query succeeded and the last
    // deletion went through.
    QTest::newRow("deletion refused in the middle")
        << QByteArray("E1\0E2\0R1\0E3\0\0", 13) << QStringList{"E1", "E2", "E3"} << QStringList{"R1"} << QStringList{}
        << QStringList{} << QString() << uint(SAR_FAIL) << QStringList{"E1", "E3"} << QStringList{"E2"};
}

void TestDevMgrScript::clearEmptyContainers()
{
    QFETCH(QByteArray, list);
    QFETCH(QStringList, empty);
    QFETCH(QStringList, withKeys);
    QFETCH(QStringList, queryFails);
    QFETCH(QStringList, openFails);
    QFETCH(QString, openedBefore);
    QFETCH(uint, result);
    QFETCH(QStringList, deleted);
    QFETCH(QStringList, deleteFails);

    resetList(m_fake->apps, QByteArray("APP\0\0", 5));
    resetList(m_fake->containers, list);
    m_fake->containerTypes.clear();
    m_fake->typeQueryFails.clear();
    m_fake->openFails.clear();
    m_fake->deletedContainers.clear();
    m_fake->deleteFails.clear();
    for (const QString& name : deleteFails)
        m_fake->deleteFails.insert(name.toStdString());
    for (const QString& name : empty)
        m_fake->containerTypes[name.toStdString()] = 0;
    for (int i = 0; i < withKeys.size(); ++i)
        m_fake->containerTypes[withKeys[i].toStdString()] = 1 + i % 2;
    for (const QString& name : queryFails)
        m_fake->typeQueryFails.insert(name.toStdString());

    QCOMPARE(m_mgr->ConnectDev("TOKEN-A"), ULONG(SAR_OK));
    QCOMPARE(m_mgr->OpenApplication("APP"), ULONG(SAR_OK));
    if (!openedBefore.isEmpty())
        QCOMPARE(m_mgr->OpenContainer(openedBefore.toUtf8().constData()), ULONG(SAR_OK));
    for (const QString& name : openFails)
        m_fake->openFails.insert(name.toStdString());

    ULONG got = 0;
    ULONG removed = 99;
    captureFd(1, [&] { got = m_mgr->ClearEmptyContainers(&removed); });
    QCOMPARE(uint(got), result);
    QStringList gone;
    for (const std::string& name : m_fake->deletedContainers)
        gone << QString::fromStdString(name);
    QCOMPARE(gone, deleted);
    QCOMPARE(int(removed), deleted.size());
}

void TestDevMgrScript::clearEmptyContainersWritesOneLinePerContainer()
{
    resetList(m_fake->apps, QByteArray("APP\0\0", 5));
    // A name cannot reach a terminal with its control bytes, nor forge a line.
    resetList(m_fake->containers, QByteArray("R1\0E\x1b]0;x\n1\0\0", 13));
    m_fake->containerTypes = {{"E\x1b]0;x\n1", 0}, {"R1", 1}};
    m_fake->typeQueryFails.clear();
    m_fake->openFails.clear();
    QCOMPARE(m_mgr->ConnectDev("TOKEN-A"), ULONG(SAR_OK));
    const QByteArray out = captureFd(1, [&] { m_mgr->ClearEmptyContainers(); });
    QCOMPARE(out, QByteArray("containet name = R1, type = 1\ncontainet name = E\\x1b]0;x\\x0a1, type = 0\n"));
    QVERIFY(!m_mgr->hContainer);
}

void TestDevMgrScript::clearEmptyContainersWholeLists_data()
{
    QTest::addColumn<QByteArray>("apps");
    QTest::addColumn<QByteArray>("containers");
    QTest::addColumn<QByteArray>("grown"); // the container list once its size was asked
    QTest::addColumn<uint>("extraReported");
    QTest::addColumn<uint>("result");
    QTest::addColumn<int>("deleted");

    // Names as enrolment software writes them: 80 of 38 bytes need 3041 bytes with the final zero.
    const QByteArray eighty = repeatedNames("{6F9619FF-8B86-D011-B42D-00C04FC9", 80);
    const QByteArray apps("APP\0\0", 5);
    QTest::newRow("80 empty containers") << apps << eighty + '\0' << QByteArray() << 0u << uint(SAR_OK) << 80;
    QTest::newRow("application list beyond 1024 bytes") << repeatedNames("APPLICATION-WITH-A-LONG-NAME-", 40) + '\0'
                                                        << eighty + '\0' << QByteArray() << 0u << uint(SAR_OK) << 80;
    QTest::newRow("list grows between the calls")
        << apps << eighty + '\0' << repeatedNames("{6F9619FF-8B86-D011-B42D-00C04FC9", 81) + '\0' << 0u << uint(SAR_OK)
        << 81;
    QTest::newRow("size overstated") << apps << eighty + '\0' << QByteArray() << 100000u << uint(SAR_OK) << 80;
    QTest::newRow("no final terminator") << apps << eighty << QByteArray() << 0u << uint(SAR_OK) << 80;
    QTest::newRow("size beyond the limit refused")
        << apps << eighty + QByteArray(1024 * 1024, 'x') << QByteArray() << 0u << uint(SAR_MEMORYERR) << 0;
}

void TestDevMgrScript::clearEmptyContainersWholeLists()
{
    QFETCH(QByteArray, apps);
    QFETCH(QByteArray, containers);
    QFETCH(QByteArray, grown);
    QFETCH(uint, extraReported);
    QFETCH(uint, result);
    QFETCH(int, deleted);

    resetList(m_fake->apps, apps);
    resetList(m_fake->containers, containers);
    m_fake->containers.grown.assign(grown.constData(), grown.size());
    m_fake->containers.extraReported = extraReported;
    m_fake->containerTypes.clear();
    for (const QByteArray& name : (grown.isEmpty() ? containers : grown).split('\0'))
        m_fake->containerTypes[name.toStdString()] = 0;
    m_fake->typeQueryFails.clear();
    m_fake->openFails.clear();
    m_fake->deleteFails.clear();
    m_fake->deletedContainers.clear();

    QCOMPARE(m_mgr->ConnectDev("TOKEN-A"), ULONG(SAR_OK));
    ULONG got = 0;
    captureFd(1, [&] { got = m_mgr->ClearEmptyContainers(); });
    QCOMPARE(uint(got), result);
    QCOMPARE(int(m_fake->deletedContainers.size()), deleted);
}

void TestDevMgrScript::authKeyChecksTouchNothing_data()
{
    QTest::addColumn<int>("op");
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<uint>("length");
    const QByteArray good("1234567812345678");
    const char* ops[] = {"DevAuth", "ChangeDevAuthKey", "ChangeDevAuthKeyEx(old)", "ChangeDevAuthKeyEx(new)",
                         "Initialize"};
    for (int op = 0; op < 5; ++op) {
        QTest::addRow("%s, 15 characters", ops[op]) << op << good.left(15) << 16u;
        QTest::addRow("%s, 17 characters", ops[op]) << op << good + "9" << 16u;
        QTest::addRow("%s, length 15", ops[op]) << op << good << 15u;
        QTest::addRow("%s, length 17", ops[op]) << op << good << 17u;
        QTest::addRow("%s, no key", ops[op]) << op << QByteArray() << 16u;
    }
}

void TestDevMgrScript::authKeyChecksTouchNothing()
{
    QFETCH(int, op);
    QFETCH(QByteArray, key);
    QFETCH(uint, length);
    const char* k = key.isNull() ? nullptr : key.constData();
    const char* good = "1234567812345678";
    resetList(m_fake->apps, QByteArray("APP\0\0", 5));
    m_fake->genRandomCalls = 0;
    m_fake->deletedApps.clear();
    ULONG got = 0;
    switch (op) {
    case 0:
        got = m_mgr->DevAuth(k, length);
        break;
    case 1:
        got = m_mgr->ChangeDevAuthKey(k, length);
        break;
    case 2:
        got = m_mgr->ChangeDevAuthKeyEx(k, length, good, 16);
        break;
    case 3:
        got = m_mgr->ChangeDevAuthKeyEx(good, 16, k, length);
        break;
    case 4:
        got = m_mgr->Initialize(k, length, "LABEL", "12345678", "12345678");
        break;
    }
    QCOMPARE(got, ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_fake->genRandomCalls, 0u);
    QVERIFY(m_fake->deletedApps.empty());

    // A missing label or PIN is refused before the token is authenticated or cleared.
    QCOMPARE(m_mgr->Initialize(good, 16, nullptr, "12345678", "12345678"), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_mgr->Initialize(good, 16, "LABEL", nullptr, "12345678"), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_mgr->Initialize(good, 16, "LABEL", "12345678", nullptr), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_fake->genRandomCalls, 0u);
    QVERIFY(m_fake->deletedApps.empty());
}

void TestDevMgrScript::certName_data()
{
    QTest::addColumn<QByteArray>("cert");
    QTest::addColumn<uint>("extraReported");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("name");

    // A self-signed certificate made once for these rows.
    const QByteArray cert =
        SoftSkfFixture::makeCertificate("script-cn", QDateTime::currentDateTimeUtc().addSecs(3600));
    QVERIFY(!cert.isEmpty());

    QTest::newRow("certificate") << cert << 0u << 0 << QByteArray("script-cn");
    QTest::newRow("length beyond buffer") << cert << 4096u << 0 << QByteArray("script-cn");
    QTest::newRow("no certificate") << QByteArray() << 0u << -1 << QByteArray("untouched");
    QTest::newRow("not DER") << QByteArray("-----BEGIN CERTIFICATE-----\n") << 0u << -1 << QByteArray("untouched");
    QTest::newRow("cut short") << cert.left(cert.size() / 2) << 0u << -1 << QByteArray("untouched");
}

void TestDevMgrScript::certName()
{
    QFETCH(QByteArray, cert);
    QFETCH(uint, extraReported);
    QFETCH(int, result);
    QFETCH(QByteArray, name);
    m_fake->certificate.assign(cert.constData(), cert.size());
    m_fake->certExtraReported = extraReported;
    char dst[128];
    std::strcpy(dst, "untouched");
    QCOMPARE(m_mgr->getCertName(true, dst), result);
    QCOMPARE(QByteArray(dst), name);
    QCOMPARE(m_mgr->getCertName(true, nullptr), -1);
}

QTEST_GUILESS_MAIN(TestDevMgrScript)
#include "tst_devmgr_script.moc"
