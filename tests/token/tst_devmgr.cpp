// The device manager against softskf, loaded from the configured library path: device
// information, the clean-up of empty containers, device authentication and key change, token
// initialisation, PIN information and certificate names, also under softskf's hostile answers.
#include "cDevMgr.h"
#include "fakeaccess.h"
#include "namelist.h"
#include "softskf_fixture.h"

#include <QtTest>

#include <cstring>

namespace {

const char kAuthKey[] = "1234567812345678";
const char kUserPin[] = "12345678";

QStringList containerNames(const QJsonObject& token, int app = 0)
{
    QStringList names;
    const QJsonArray containers = token["applications"].toArray()[app].toObject()["containers"].toArray();
    for (const QJsonValue& c : containers)
        names << c.toObject()["name"].toString();
    return names;
}

QStringList appNames(const QJsonObject& token)
{
    QStringList names;
    for (const QJsonValue& a : token["applications"].toArray())
        names << a.toObject()["name"].toString();
    return names;
}

} // namespace

class TestDevMgr : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void deviceInformation();
    void deviceInformationUnterminatedFields();
    void deviceNameMatching_data();
    void deviceNameMatching();
    void connectEmptiesHandlesEvenOnFailure();
    void openChoice_data();
    void openChoice();
    void containerTypes();
    void pinInformation_data();
    void pinInformation();
    void verifyPinPassesResultsThrough();
    void clearEmptyContainers_data();
    void clearEmptyContainers();
    void clearEmptyContainersFirstApplicationOnly();
    void clearEmptyContainersStopsOnFailure_data();
    void clearEmptyContainersStopsOnFailure();
    void clearEmptyContainersWithoutDevice();
    void certificateName_data();
    void certificateName();
    void deviceAuthentication();
    void authenticationKeyChange();
    void tokenInitialisation();
    void tokenInitialisationWithWrongKey();

private:
    bool freshToken(const QString& name);
    bool openFirstApp(const char* token);

    SoftSkfFixture m_skf;
    cDevMgr* m_mgr = nullptr;
};

bool TestDevMgr::freshToken(const QString& name)
{
    m_skf.deleteToken(name);
    SoftSkfFixture::TokenSpec spec;
    spec.name = name;
    return m_skf.createToken(spec) && m_skf.addContainer(name, "A-EMPTY", "empty") &&
           m_skf.addContainer(name, "B-RSA", "rsa1024") && m_skf.addContainer(name, "C-EMPTY", "empty") &&
           m_skf.addContainer(name, "D-SM2", "sm2") && m_skf.addCert(name, "B-RSA", true, "Zhang San", 365) &&
           m_skf.addCert(name, "D-SM2", false, QString::fromUtf8("\xE6\x9D\x8E\xE5\x9B\x9B"), 365);
}

bool TestDevMgr::openFirstApp(const char* token)
{
    return m_mgr->ConnectDev(token) == SAR_OK && m_mgr->OpenApplication("ORVANE-PKIAPP") == SAR_OK;
}

void TestDevMgr::initTestCase()
{
    QVERIFY(m_skf.init());
    QVERIFY(freshToken("TOKEN1"));
    m_mgr = cDevMgr::getInst();
    QCOMPARE(m_mgr->Initialize(), 0);
    QVERIFY(m_mgr->pSKF);
    QCOMPARE(m_mgr->pSKF->IsValid(), 0);
}

void TestDevMgr::deviceInformation()
{
    DEVINFO info;
    QCOMPARE(m_mgr->getDevInfo("TOKEN1", &info), ULONG(SAR_OK));
    QCOMPARE(keymgr::fixedText(info.Label), std::string("TOKEN1"));
    QCOMPARE(keymgr::fixedText(info.SerialNumber), std::string("SN-TOKEN1"));
    QCOMPARE(keymgr::fixedText(info.Manufacturer), std::string("softskf"));
    QCOMPARE(info.DevAuthAlgId, ULONG(SGD_SM4_ECB));
    QCOMPARE(info.TotalSpace, ULONG(65536));
    QCOMPARE(info.FreeSpace, ULONG(32768));
    QVERIFY(m_mgr->hDev);
    QCOMPARE(m_mgr->SetDevLabel(nullptr, 0), ULONG(SAR_INVALIDPARAMERR));
}

void TestDevMgr::deviceInformationUnterminatedFields()
{
    QVERIFY(m_skf.hostile("devinfo-unterminated"));
    DEVINFO info;
    QCOMPARE(m_mgr->getDevInfo("TOKEN1", &info), ULONG(SAR_OK));
    QVERIFY(m_skf.hostileOff());
    QCOMPARE(keymgr::fixedText(info.Label).size(), sizeof(info.Label));
    QCOMPARE(keymgr::fixedText(info.SerialNumber).size(), sizeof(info.SerialNumber));
    QVERIFY(keymgr::fixedText(info.SerialNumber).rfind("SN-TOKEN1", 0) == 0);
    QCOMPARE(info.DevAuthAlgId, ULONG(SGD_SM4_ECB));
}

void TestDevMgr::deviceNameMatching_data()
{
    QTest::addColumn<QString>("hostile");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<uint>("result");
    for (const char* mode : {"", "growing-list", "list-no-terminator", "list-unterminated-name", "size-overstated"}) {
        QTest::addRow("listed, %s", mode) << mode << QByteArray("TOKEN1") << uint(SAR_OK);
        // Matched by its beginning, then connected by the full name, which softskf does not know.
        QTest::addRow("longer, %s", mode) << mode << QByteArray("TOKEN1-B") << uint(SAR_DEVICE_REMOVED);
        QTest::addRow("unlisted, %s", mode) << mode << QByteArray("OTHER") << uint(SAR_INVALIDPARAMERR);
    }
    // The size of the list comes, the list does not: no device is connected blindly.
    QTest::addRow("listed, the fetch fails") << "SKF_EnumDev#2" << QByteArray("TOKEN1") << uint(SAR_INVALIDPARAMERR);
}

void TestDevMgr::deviceNameMatching()
{
    QFETCH(QString, hostile);
    QFETCH(QByteArray, name);
    QFETCH(uint, result);
    if (!hostile.isEmpty())
        QVERIFY(hostile.contains('#') ? m_skf.fail(hostile, SAR_FAIL) : m_skf.hostile(hostile));
    DEVINFO info;
    const ULONG got = m_mgr->getDevInfo(name.constData(), &info);
    QVERIFY(m_skf.hostileOff() && m_skf.clearFaults());
    QCOMPARE(uint(got), result);
}

void TestDevMgr::connectEmptiesHandlesEvenOnFailure()
{
    QVERIFY(openFirstApp("TOKEN1"));
    QCOMPARE(m_mgr->OpenContainer("B-RSA"), ULONG(SAR_OK));
    QVERIFY(m_mgr->hApplication && m_mgr->hContainer);
    QCOMPARE(m_mgr->ConnectDev("NO-SUCH-TOKEN"), ULONG(SAR_DEVICE_REMOVED));
    QVERIFY(!m_mgr->hApplication);
    QVERIFY(!m_mgr->hContainer);
}

void TestDevMgr::openChoice_data()
{
    QTest::addColumn<QByteArray>("device");
    QTest::addColumn<QByteArray>("application");
    QTest::addColumn<QByteArray>("container");
    QTest::addColumn<int>("opened"); // handles open afterwards: 0 none, 1 device, 2 + application, 3 + container
    QTest::addColumn<bool>("ok");

    const QByteArray app = "ORVANE-PKIAPP";
    QTest::newRow("device, application, container") << QByteArray("TOKEN1") << app << QByteArray("B-RSA") << 3 << true;
    QTest::newRow("device only") << QByteArray("TOKEN1") << QByteArray() << QByteArray() << 1 << true;
    QTest::newRow("device gone") << QByteArray("GONE") << app << QByteArray("B-RSA") << 0 << false;
    QTest::newRow("63-byte name of no device") << QByteArray(63, 'T') << app << QByteArray() << 0 << false;
    QTest::newRow("64-byte name") << QByteArray(64, 'T') << app << QByteArray() << 0 << false;
    QTest::newRow("no device") << QByteArray() << app << QByteArray() << 0 << false;
    QTest::newRow("application missing") << QByteArray("TOKEN1") << QByteArray("NO-APP") << QByteArray("B-RSA") << 1
                                         << false;
    QTest::newRow("container missing") << QByteArray("TOKEN1") << app << QByteArray("NO-CTN") << 2 << false;
}

void TestDevMgr::openChoice()
{
    QFETCH(QByteArray, device);
    QFETCH(QByteArray, application);
    QFETCH(QByteArray, container);
    QFETCH(int, opened);
    QFETCH(bool, ok);
    // Handles of an earlier choice, which must not survive a failed one.
    QVERIFY(openFirstApp("TOKEN1"));
    QCOMPARE(m_mgr->OpenContainer("D-SM2"), ULONG(SAR_OK));
    QVERIFY(m_skf.resetStats());

    const TokenChoice choice{device.toStdString(), application.toStdString(), container.toStdString(), -1};
    QCOMPARE(m_mgr->open(choice) == SAR_OK, ok);
    QCOMPARE(m_mgr->hDev != nullptr, opened >= 1);
    QCOMPARE(m_mgr->hApplication != nullptr, opened >= 2);
    QCOMPARE(m_mgr->hContainer != nullptr, opened >= 3);
    // Found again by name: no scan of the present devices.
    const QMap<QString, qint64> calls = m_skf.stats();
    QCOMPARE(calls.value("SKF_EnumDev"), qint64(0));
    QCOMPARE(calls.value("SKF_ConnectDev"), qint64(device.size() > 0 && device.size() < 64 ? 1 : 0));
    if (opened == 3) {
        ContainerInfo info;
        QCOMPARE(m_mgr->GetContainerInfo(&info), ULONG(SAR_OK));
        QCOMPARE(int(info.ContainerType), 1);
    }
}

void TestDevMgr::containerTypes()
{
    QVERIFY(openFirstApp("TOKEN1"));
    const std::pair<const char*, int> expected[] = {{"A-EMPTY", 0}, {"B-RSA", 1}, {"D-SM2", 2}};
    for (const auto& e : expected) {
        QCOMPARE(m_mgr->OpenContainer(e.first), ULONG(SAR_OK));
        ContainerInfo info;
        info.ContainerType = 0x55;
        QCOMPARE(m_mgr->GetContainerInfo(&info), ULONG(SAR_OK));
        QCOMPARE(int(info.ContainerType), e.second);
    }
}

void TestDevMgr::pinInformation_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("which");
    QTest::addColumn<int>("isDefault");
    QTest::newRow("user, default") << USER_TYPE << "user" << 1;
    QTest::newRow("user, changed") << USER_TYPE << "user" << 0;
    QTest::newRow("SO, default") << ADMIN_TYPE << "so" << 1;
    QTest::newRow("SO, changed") << ADMIN_TYPE << "so" << 0;
}

void TestDevMgr::pinInformation()
{
    QFETCH(int, type);
    QFETCH(QString, which);
    QFETCH(int, isDefault);
    QVERIFY(m_skf.setPin("TOKEN1", which, QString(), 9, 4, isDefault));
    QVERIFY(openFirstApp("TOKEN1"));
    ULONG max = 0, remain = 0;
    BOOL flag = 0x7777;
    QCOMPARE(m_mgr->GetPINInfo(type, &max, &remain, &flag), ULONG(SAR_OK));
    QCOMPARE(max, ULONG(9));
    QCOMPARE(remain, ULONG(4));
    QCOMPARE(flag, isDefault);
    QVERIFY(m_skf.setPin("TOKEN1", which, QString(), 6, 6, 0));
}

void TestDevMgr::verifyPinPassesResultsThrough()
{
    QVERIFY(openFirstApp("TOKEN1"));
    ULONG retry = 0;
    QCOMPARE(m_mgr->VerifyPIN(USER_TYPE, "wrong-pin", &retry), ULONG(SAR_PIN_INCORRECT));
    QCOMPARE(retry, ULONG(5));
    QCOMPARE(m_mgr->VerifyPIN(USER_TYPE, kUserPin, &retry), ULONG(SAR_OK));
    QVERIFY(m_mgr->pSKF->IsValid() == 0);
}

void TestDevMgr::clearEmptyContainers_data()
{
    QTest::addColumn<QString>("hostile");
    for (const char* mode :
         {"", "growing-list", "list-no-terminator", "list-unterminated-name", "empty-list-two-nuls", "size-overstated"})
        QTest::newRow(*mode ? mode : "plain") << mode;
}

void TestDevMgr::clearEmptyContainers()
{
    QFETCH(QString, hostile);
    QVERIFY(freshToken("TOKEN1"));
    QVERIFY(openFirstApp("TOKEN1"));
    ULONG retry = 0;
    QCOMPARE(m_mgr->VerifyPIN(USER_TYPE, kUserPin, &retry), ULONG(SAR_OK));
    if (!hostile.isEmpty())
        QVERIFY(m_skf.hostile(hostile));
    ULONG result = 0;
    const QByteArray out = captureFd(1, [&] { result = m_mgr->ClearEmptyContainers(); });
    QVERIFY(m_skf.hostileOff());
    // The name a growing list gains between the calls names no container: it cannot be checked.
    QCOMPARE(result == SAR_OK, hostile != "growing-list");
    QCOMPARE(containerNames(m_skf.show("TOKEN1")), (QStringList{"B-RSA", "D-SM2"}));
    QVERIFY2(out.contains("containet name = A-EMPTY, type = 0\n"), out.constData());
    QVERIFY2(out.contains("containet name = B-RSA, type = 1\n"), out.constData());
    QVERIFY2(out.contains("containet name = D-SM2, type = 2\n"), out.constData());
}

void TestDevMgr::clearEmptyContainersFirstApplicationOnly()
{
    QVERIFY(freshToken("TOKEN1"));
    QVERIFY(openFirstApp("TOKEN1"));
    QCOMPARE(m_mgr->DevAuth(kAuthKey, 16), ULONG(SAR_OK));
    HAPPLICATION second = nullptr;
    char name[] = "ZZ-SECOND", pin[] = "12345678";
    QCOMPARE(m_mgr->pSKF->SKF_CreateApplication(m_mgr->hDev, name, pin, 6, pin, 6, SECURE_ANYONE_ACCOUNT, &second),
             ULONG(SAR_OK));
    QVERIFY(m_skf.run({"add-container", "TOKEN1", "Z-EMPTY", "empty", "--app", "ZZ-SECOND"}));
    QVERIFY(openFirstApp("TOKEN1"));
    ULONG retry = 0;
    QCOMPARE(m_mgr->VerifyPIN(USER_TYPE, kUserPin, &retry), ULONG(SAR_OK));
    QCOMPARE(m_mgr->ClearEmptyContainers(), ULONG(SAR_OK));
    const QJsonObject token = m_skf.show("TOKEN1");
    QCOMPARE(appNames(token), (QStringList{"ORVANE-PKIAPP", "ZZ-SECOND"}));
    QCOMPARE(containerNames(token, 0), (QStringList{"B-RSA", "D-SM2"}));
    QCOMPARE(containerNames(token, 1), QStringList{"Z-EMPTY"});
}

void TestDevMgr::clearEmptyContainersStopsOnFailure_data()
{
    QTest::addColumn<QString>("failing");
    QTest::addColumn<QByteArray>("openBefore"); // a container left open by an earlier action
    QTest::newRow("type query fails") << "SKF_GetContainerType" << QByteArray();
    // The containers that fail to open must not be judged by the empty one opened last.
    QTest::newRow("containers do not open") << "SKF_OpenContainer" << QByteArray("C-EMPTY");
}

void TestDevMgr::clearEmptyContainersStopsOnFailure()
{
    QFETCH(QString, failing);
    QFETCH(QByteArray, openBefore);
    QVERIFY(freshToken("TOKEN1"));
    QVERIFY(openFirstApp("TOKEN1"));
    ULONG retry = 0;
    QCOMPARE(m_mgr->VerifyPIN(USER_TYPE, kUserPin, &retry), ULONG(SAR_OK));
    if (!openBefore.isEmpty())
        QCOMPARE(m_mgr->OpenContainer(openBefore.constData()), ULONG(SAR_OK));
    QVERIFY(m_skf.fail(failing, SAR_FAIL));
    const ULONG result = m_mgr->ClearEmptyContainers();
    QVERIFY(m_skf.clearFaults());
    QCOMPARE(result, ULONG(SAR_FAIL));
    QCOMPARE(containerNames(m_skf.show("TOKEN1")), (QStringList{"A-EMPTY", "B-RSA", "C-EMPTY", "D-SM2"}));
}

void TestDevMgr::clearEmptyContainersWithoutDevice()
{
    QCOMPARE(m_mgr->ConnectDev("NO-SUCH-TOKEN"), ULONG(SAR_DEVICE_REMOVED));
    QCOMPARE(m_mgr->ClearEmptyContainers(), ULONG(SAR_DEVICE_REMOVED));
}

void TestDevMgr::certificateName_data()
{
    QTest::addColumn<QString>("hostile");
    QTest::addColumn<QByteArray>("container");
    QTest::addColumn<bool>("sign");
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("signature") << "" << QByteArray("B-RSA") << true << 0 << QByteArray("Zhang San");
    QTest::newRow("no encryption certificate") << "" << QByteArray("B-RSA") << false << -1 << QByteArray("keep");
    QTest::newRow("encryption, Chinese name")
        << "" << QByteArray("D-SM2") << false << 0 << QByteArray("\xE6\x9D\x8E\xE5\x9B\x9B");
    QTest::newRow("no signature certificate") << "" << QByteArray("D-SM2") << true << -1 << QByteArray("keep");
    QTest::newRow("empty container") << "" << QByteArray("A-EMPTY") << true << -1 << QByteArray("keep");
    QTest::newRow("long certificate") << "long-cert" << QByteArray("D-SM2") << false << 0
                                      << QByteArray("\xE6\x9D\x8E\xE5\x9B\x9B");
    QTest::newRow("length overstated") << "size-overstated" << QByteArray("B-RSA") << true << 0
                                       << QByteArray("Zhang San");
}

void TestDevMgr::certificateName()
{
    QFETCH(QString, hostile);
    QFETCH(QByteArray, container);
    QFETCH(bool, sign);
    QFETCH(int, result);
    QFETCH(QByteArray, name);
    QVERIFY(freshToken("TOKEN1"));
    QVERIFY(openFirstApp("TOKEN1"));
    QCOMPARE(m_mgr->OpenContainer(container.constData()), ULONG(SAR_OK));
    if (!hostile.isEmpty())
        QVERIFY(m_skf.hostile(hostile));
    char dst[128] = "keep";
    const int got = m_mgr->getCertName(sign, dst);
    QVERIFY(m_skf.hostileOff());
    QCOMPARE(got, result);
    QCOMPARE(QByteArray(dst), name);
}

void TestDevMgr::deviceAuthentication()
{
    QVERIFY(openFirstApp("TOKEN1"));
    QCOMPARE(m_mgr->DevAuth(kAuthKey, 16), ULONG(SAR_OK));
    QVERIFY(m_mgr->DevAuth("8765432187654321", 16) != SAR_OK);

    QVERIFY(m_skf.resetStats());
    QCOMPARE(m_mgr->DevAuth("123456781234567", 16), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_mgr->DevAuth(kAuthKey, 15), ULONG(SAR_INVALIDPARAMERR));
    QCOMPARE(m_skf.stats().value("SKF_GenRandom"), qint64(0));
}

void TestDevMgr::authenticationKeyChange()
{
    QVERIFY(openFirstApp("TOKEN1"));
    const char newKey[] = "ABCDEFGHabcdefgh";
    QVERIFY(m_mgr->ChangeDevAuthKeyEx("8765432187654321", 16, newKey, 16) != SAR_OK);
    QCOMPARE(m_mgr->ChangeDevAuthKeyEx(kAuthKey, 16, newKey, 16), ULONG(SAR_OK));
    QCOMPARE(m_mgr->DevAuth(newKey, 16), ULONG(SAR_OK));
    QVERIFY(m_mgr->DevAuth(kAuthKey, 16) != SAR_OK);
    QCOMPARE(m_mgr->ChangeDevAuthKeyEx(newKey, 16, kAuthKey, 16), ULONG(SAR_OK));
    QCOMPARE(m_mgr->DevAuth(kAuthKey, 16), ULONG(SAR_OK));
}

void TestDevMgr::tokenInitialisation()
{
    QVERIFY(freshToken("TOKEN1"));
    QVERIFY(openFirstApp("TOKEN1"));
    QCOMPARE(m_mgr->DevAuth(kAuthKey, 16), ULONG(SAR_OK));
    HAPPLICATION second = nullptr;
    char name[] = "OLD-SECOND", pin[] = "12345678";
    QCOMPARE(m_mgr->pSKF->SKF_CreateApplication(m_mgr->hDev, name, pin, 6, pin, 6, SECURE_ANYONE_ACCOUNT, &second),
             ULONG(SAR_OK));

    QCOMPARE(m_mgr->Initialize(kAuthKey, 16, "FRESH", "SOpin123", "USERpin1"), ULONG(SAR_OK));
    const QJsonObject token = m_skf.show("TOKEN1");
    QCOMPARE(appNames(token), QStringList{"ORVANE-PKIAPP"});
    QCOMPARE(containerNames(token), QStringList{});
    QCOMPARE(token["label"].toString(), QString("FRESH"));
    const QJsonObject app = token["applications"].toArray()[0].toObject();
    QCOMPARE(app["userPin"].toObject()["maxRetries"].toInt(), 6);
    QCOMPARE(app["soPin"].toObject()["maxRetries"].toInt(), 6);
    // The new application is the open one.
    ULONG retry = 0;
    QCOMPARE(m_mgr->VerifyPIN(USER_TYPE, "USERpin1", &retry), ULONG(SAR_OK));
    QCOMPARE(m_mgr->VerifyPIN(ADMIN_TYPE, "SOpin123", &retry), ULONG(SAR_OK));
}

void TestDevMgr::tokenInitialisationWithWrongKey()
{
    QVERIFY(freshToken("TOKEN1"));
    QVERIFY(openFirstApp("TOKEN1"));
    QVERIFY(m_mgr->Initialize("8765432187654321", 16, "FRESH", "SOpin123", "USERpin1") != SAR_OK);
    const QJsonObject token = m_skf.show("TOKEN1");
    QCOMPARE(containerNames(token), (QStringList{"A-EMPTY", "B-RSA", "C-EMPTY", "D-SM2"}));
    QCOMPARE(token["label"].toString(), QString("TOKEN1"));
}

QTEST_GUILESS_MAIN(TestDevMgr)
#include "tst_devmgr.moc"
