// The device tree, the information page and the container tree, built from softskf tokens.
#include "MainWindow.h"
#include "cDevMgr.h"
#include "softskf_fixture.h"
#include "traylog.h"
#include "widgets.h"
#include "windowsetup.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTabWidget>
#include <QTreeView>
#include <QtTest>

namespace {

const QStringList kResetButtons = {"btn_clearEmptyCtn", "btn_ChangeLabel",   "btn_VerifyPIN",  "btn_ChangePIN",
                                   "btn_VerifyPIN_OK",  "btn_ChangPIN_OK",   "btn_ImpCert",    "btn_ExpCert",
                                   "btn_DelCtn",        "btn_ChangeAuthKey", "btn_UnblockPIN", "btn_Initialize"};

// "label[child,child];label[...]" for the children of one item.
QString describeChildren(const QAbstractItemModel* model, const QModelIndex& parent)
{
    QStringList parts;
    for (int r = 0; r < model->rowCount(parent); ++r) {
        const QModelIndex child = model->index(r, 0, parent);
        QString part = child.data().toString();
        if (model->rowCount(child) > 0) {
            QStringList leaves;
            for (int c = 0; c < model->rowCount(child); ++c)
                leaves << model->index(c, 0, child).data().toString();
            part += QLatin1Char('[') + leaves.join(QLatin1Char(',')) + QLatin1Char(']');
        }
        parts << part;
    }
    return parts.join(QLatin1Char(';'));
}

} // namespace

class TstDevTree : public QObject
{
    Q_OBJECT

public:
    template <typename T> T* child(const char* name) const { return ::child<T>(m_window, name); }
    const QAbstractItemModel* devModel() const { return child<QTreeView>("treeView_Dev")->model(); }
    const QAbstractItemModel* infoModel() const { return child<QTreeView>("treeView_usbInfo")->model(); }
    const QAbstractItemModel* ctnModel() const { return child<QTreeView>("treeView")->model(); }
    // The certificate view has no model until a container tree was built once.
    int ctnRows() const { return ctnModel() ? ctnModel()->rowCount() : 0; }
    bool enabled(const char* button) const { return child<QPushButton>(button)->isEnabled(); }
    QString infoValue(int row) const { return infoModel()->index(row, 1).data().toString(); }
    bool makeToken(const QString& name)
    {
        SoftSkfFixture::TokenSpec spec;
        spec.name = name;
        return makeToken(spec);
    }
    bool makeToken(SoftSkfFixture::TokenSpec spec)
    {
        spec.present = true;
        if (!m_fx.createToken(spec))
            return false;
        m_tokens << spec.name;
        return true;
    }

private slots:
    void initTestCase();
    void cleanup();
    void noTokenLeavesTreeEmpty();
    void everyPresentTokenIsListed();
    void tokenWithoutApplicationIsEmptyDevice();
    void informationRows_data();
    void informationRows();
    void keyPairNodes_data();
    void keyPairNodes();
    void unknownKeyLengthGivesNoPairNode();
    void emptyContainerHasNoChildren();
    void clicksSelectPagesAndButtons();
    void failedApplicationOpenDisablesButtons();
    void deviceWithoutChildShowsOnlyItself();
    void overlongDeviceNameIsRefused();
    void hostileAnswersKeepViewsWithinBounds();
    void namesAreTheTokensBytes();

private:
    SoftSkfFixture m_fx;
    MainWindow* m_window = nullptr;
    QStringList m_tokens;
    TrayLog* m_tray = nullptr;
};

void TstDevTree::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    // No browser for these tests: the removals at clean-up are token events too.
    QVERIFY(writeAppSettings(false));
    useBuiltInTexts();
    m_window = new MainWindow;
    m_tray = new TrayLog(m_window);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone(), 20000);
    QVERIFY(cDevMgr::getInst()->pSKF);
    m_window->show();
}

void TstDevTree::cleanup()
{
    QVERIFY(m_fx.clearFaults());
    QVERIFY(m_fx.hostileOff());
    const int before = m_tray->size();
    for (const QString& name : m_tokens)
        QVERIFY(m_fx.deleteToken(name));
    // Every removal comes back as a token event; let them all pass before the next case.
    QVERIFY(m_tray->waitFor(before + m_tokens.size()));
    QCOMPARE(m_tray->texts(before).count("RUZ-Ururov removed"), m_tokens.size());
    m_tokens.clear();
}

void TstDevTree::noTokenLeavesTreeEmpty()
{
    m_window->slotEventChange();
    QCOMPARE(devModel()->rowCount(), 0);
    // The header is set only when at least one token is listed.
    QCOMPARE(devModel()->columnCount(), 0);
    for (const QString& button : kResetButtons)
        QVERIFY2(!child<QPushButton>(button.toLatin1().constData())->isEnabled(), qPrintable(button));
    QCOMPARE(child<QLabel>("label_bottom")->text(), QString());
}

void TstDevTree::everyPresentTokenIsListed()
{
    for (const char* name : {"ALPHA", "BRAVO", "CHARLIE"}) {
        QVERIFY(makeToken(name));
    }
    QVERIFY(m_fx.createToken("ABSENT", false));

    m_window->slotEventChange();
    QStringList listed;
    for (int r = 0; r < devModel()->rowCount(); ++r) {
        const QModelIndex device = devModel()->index(r, 0);
        listed << device.data().toString();
        QCOMPARE(describeChildren(devModel(), device), QStringLiteral("Data Manger"));
    }
    listed.sort();
    QCOMPARE(listed, QStringList({"ALPHA", "BRAVO", "CHARLIE"}));
    QCOMPARE(devModel()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("DevList"));
    // The application name follows the last listed device with an application.
    QCOMPARE(QString::fromLatin1(m_window->appName()), QStringLiteral("ORVANE-PKIAPP"));
    QVERIFY(m_fx.deleteToken("ABSENT"));
}

void TstDevTree::tokenWithoutApplicationIsEmptyDevice()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "BARE";
    spec.appName.clear();
    QVERIFY(makeToken(spec));
    m_window->slotEventChange();
    const QModelIndex device = deviceRow(m_window, "BARE");
    QVERIFY(device.isValid());
    QCOMPARE(describeChildren(devModel(), device), QStringLiteral("Empty Device"));
    QCOMPARE(m_window->appName()[0], '\0');

    m_window->Dev_App_selected(devModel()->index(0, 0, device));
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 2);
    QCOMPARE(ctnRows(), 0);
    QVERIFY(enabled("btn_ChangeLabel"));
    for (const char* button : {"btn_clearEmptyCtn", "btn_VerifyPIN", "btn_ChangePIN", "btn_UnblockPIN"})
        QVERIFY2(!enabled(button), button);
    // Without an application the PIN rows keep their placeholder.
    for (int row = 6; row < 12; ++row)
        QCOMPARE(infoValue(row), QStringLiteral("  "));
}

void TstDevTree::informationRows_data()
{
    QTest::addColumn<quint32>("total");
    QTest::addColumn<quint32>("free");
    QTest::addColumn<int>("soRemaining");
    QTest::addColumn<int>("soDefault");
    QTest::addColumn<int>("userRemaining");
    QTest::addColumn<QStringList>("values");

    QTest::newRow("user locked, SO default")
        << 65536u << 1023u << 6 << 1 << 0 << QStringList{"64 KB", "0 KB", "10", "6", "YES", "6", "0(Locked)", "NO"};
    QTest::newRow("SO locked, odd sizes")
        << 1048575u << 1536u << 0 << 0 << 3 << QStringList{"1023 KB", "1 KB", "10", "0(Locked)", "NO", "6", "3", "NO"};
    QTest::newRow("user one try from locked")
        << 65536u << 32768u << 6 << 0 << 1 << QStringList{"64 KB", "32 KB", "10", "6", "NO", "6", "1", "NO"};
}

void TstDevTree::informationRows()
{
    QFETCH(quint32, total);
    QFETCH(quint32, free);
    QFETCH(int, soRemaining);
    QFETCH(int, soDefault);
    QFETCH(int, userRemaining);
    QFETCH(QStringList, values);

    SoftSkfFixture::TokenSpec spec;
    spec.name = "INFO";
    spec.serial = "<font size=7>SPOOF</font>";
    spec.label = "Alice's key";
    spec.manufacturer = "Lumeno Ltd";
    spec.hwVersion = "2.7";
    spec.totalSpace = total;
    spec.freeSpace = free;
    spec.soRetries = 10;
    QVERIFY(makeToken(spec));
    QVERIFY(m_fx.setPin("INFO", "so", QString(), -1, soRemaining, soDefault));
    QVERIFY(m_fx.setPin("INFO", "user", QString(), -1, userRemaining, 0));

    m_window->slotEventChange();
    m_window->Dev_App_selected(deviceRow(m_window, "INFO"));
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 1);
    QCOMPARE(child<QTabWidget>("tabWidget_2")->currentIndex(), 1);
    QCOMPARE(infoModel()->rowCount(), 12);
    const QStringList captions = {"Label",
                                  "SerialNumber",
                                  "Manufacturer",
                                  "HWVersion",
                                  "TotalSpace",
                                  "FreeSpace",
                                  "SOPIN MaxRetryCount",
                                  "SOPIN RemainRetryCount",
                                  "SOPIN DefaultPIN",
                                  "USERPIN MaxRetryCount",
                                  "USERPIN RemainRetryCount",
                                  "USERPIN DefaultPIN"};
    for (int row = 0; row < 12; ++row)
        QCOMPARE(infoModel()->index(row, 0).data().toString(), captions[row]);
    QCOMPARE(infoValue(0), QStringLiteral("Alice's key"));
    QCOMPARE(infoValue(1), QStringLiteral("<font size=7>SPOOF</font>"));
    QCOMPARE(infoValue(2), QStringLiteral("Lumeno Ltd"));
    QCOMPARE(infoValue(3), QStringLiteral("2.7"));
    for (int i = 0; i < values.size(); ++i)
        QCOMPARE(infoValue(4 + i), values[i]);
    // Text from the token is shown as written, never as markup.
    QCOMPARE(child<QLabel>("label_bottom")->text(),
             QString::fromUtf8("Lumeno    当前设备SN：<font size=7>SPOOF</font>"));
    QCOMPARE(child<QLabel>("label_bottom")->textFormat(), Qt::PlainText);
    QVERIFY(child<QTreeView>("treeView_usbInfo")->isHeaderHidden());
}

void TstDevTree::keyPairNodes_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("signCert");
    QTest::addColumn<bool>("encCert");
    QTest::addColumn<QString>("expected");

    const QString keys = QStringLiteral("Public key,Private key");
    QTest::newRow("sm2, no certificate") << "sm2" << false << false
                                         << QString("Sign(ECC256)[%1];Encrypt&Decrypt(ECC256)[%1]").arg(keys);
    QTest::newRow("sm2, signing certificate")
        << "sm2" << true << false << QString("Sign(ECC256)[sig-cn,%1];Encrypt&Decrypt(ECC256)[%1]").arg(keys);
    QTest::newRow("sm2, encryption certificate")
        << "sm2" << false << true << QString("Encrypt&Decrypt(ECC256)[enc-cn,%1];Sign(ECC256)[%1]").arg(keys);
    QTest::newRow("sm2, both certificates")
        << "sm2" << true << true << QString("Sign(ECC256)[sig-cn,%1];Encrypt&Decrypt(ECC256)[enc-cn,%1]").arg(keys);
    QTest::newRow("rsa2048, encryption certificate")
        << "rsa2048" << false << true << QString("Encrypt&Decrypt(RSA2048)[enc-cn,%1];Sign(RSA2048)[%1]").arg(keys);
    QTest::newRow("rsa1024, signing certificate")
        << "rsa1024" << true << false << QString("Sign(RSA1024)[sig-cn,%1];Encrypt&Decrypt(RSA1024)[%1]").arg(keys);
}

void TstDevTree::keyPairNodes()
{
    QFETCH(QString, kind);
    QFETCH(bool, signCert);
    QFETCH(bool, encCert);
    QFETCH(QString, expected);

    QVERIFY(makeToken("PAIRS"));
    QVERIFY(m_fx.addContainer("PAIRS", "ctn1", kind));
    if (signCert)
        QVERIFY(m_fx.addCert("PAIRS", "ctn1", true, "sig-cn", 365));
    if (encCert)
        QVERIFY(m_fx.addCert("PAIRS", "ctn1", false, "enc-cn", 365));

    m_window->slotEventChange();
    const QModelIndex device = deviceRow(m_window, "PAIRS");
    m_window->Dev_App_selected(devModel()->index(0, 0, device));
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 2);
    QCOMPARE(ctnRows(), 1);
    const QModelIndex container = ctnModel()->index(0, 0);
    QCOMPARE(container.data().toString(), QStringLiteral("ctn1(container)"));
    QCOMPARE(describeChildren(ctnModel(), container), expected);
    QVERIFY(m_window->containerMap().contains("ctn1(container)"));
    QCOMPARE(int(m_window->containerMap().value("ctn1(container)").ContainerType), kind == "sm2" ? 2 : 1);
    QVERIFY(!container.data(Qt::DecorationRole).value<QIcon>().isNull());
}

void TstDevTree::unknownKeyLengthGivesNoPairNode()
{
    QVERIFY(makeToken("BIGKEY"));
    QVERIFY(m_fx.addContainer("BIGKEY", "rsa", "rsa2048"));
    QVERIFY(m_fx.addCert("BIGKEY", "rsa", true, "big", 365));
    QVERIFY(m_fx.hostile("rsa-bitlen", 4096));

    m_window->chooseApp("BIGKEY");
    QCOMPARE(ctnRows(), 1);
    QCOMPARE(ctnModel()->index(0, 0).data().toString(), QStringLiteral("rsa(container)"));
    QCOMPARE(ctnModel()->rowCount(ctnModel()->index(0, 0)), 0);
    QCOMPARE(int(m_window->containerMap().value("rsa(container)").ContainerType), 1);
}

void TstDevTree::emptyContainerHasNoChildren()
{
    QVERIFY(makeToken("HOLLOW"));
    QVERIFY(m_fx.addContainer("HOLLOW", "void", "empty"));
    QVERIFY(m_fx.addContainer("HOLLOW", "full", "sm2"));

    m_window->chooseApp("HOLLOW");
    QCOMPARE(ctnRows(), 2);
    QStringList labels;
    for (int r = 0; r < 2; ++r) {
        const QModelIndex container = ctnModel()->index(r, 0);
        labels << container.data().toString();
        QCOMPARE(ctnModel()->rowCount(container), container.data().toString() == "void(container)" ? 0 : 2);
    }
    labels.sort();
    QCOMPARE(labels, QStringList({"full(container)", "void(container)"}));
    QCOMPARE(int(m_window->containerMap().value("void(container)").ContainerType), 0);
    QCOMPARE(getCtnType(0), QStringLiteral("Empty"));
    QCOMPARE(getCtnType(1), QStringLiteral("RSA"));
    QCOMPARE(getCtnType(2), QStringLiteral("ECC"));
    QCOMPARE(getCtnType(7), QStringLiteral("Empty"));
}

void TstDevTree::clicksSelectPagesAndButtons()
{
    QVERIFY(makeToken("CLICK"));
    QVERIFY(m_fx.addContainer("CLICK", "k", "sm2"));

    m_window->chooseApp("CLICK");
    QCOMPARE(ctnRows(), 1);
    m_window->slotEventChange();
    for (const QString& button : kResetButtons)
        QVERIFY2(!child<QPushButton>(button.toLatin1().constData())->isEnabled(), qPrintable(button));
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 1);
    QCOMPARE(child<QTabWidget>("tabWidget_2")->currentIndex(), 0);
    QCOMPARE(ctnRows(), 0);

    // A real click on the device row goes to the key information page, dropping a PIN typed but not sent.
    QTreeView* tree = child<QTreeView>("treeView_Dev");
    const QModelIndex device = deviceRow(m_window, "CLICK");
    tree->expandAll();
    m_window->btn_verifyPin();
    QTest::keyClicks(child<QLineEdit>("VerifyPIN_Edit"), "Kv3939");
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(device).center());
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 1);
    QCOMPARE(child<QTabWidget>("tabWidget_2")->currentIndex(), 1);
    QVERIFY(child<QLineEdit>("VerifyPIN_Edit")->text().isEmpty());
    QCOMPARE(infoValue(1), QStringLiteral("SN-CLICK"));
    for (const char* button :
         {"btn_ChangeLabel", "btn_clearEmptyCtn", "btn_VerifyPIN", "btn_ChangePIN", "btn_UnblockPIN"})
        QVERIFY2(enabled(button), button);
    QCOMPARE(ctnRows(), 0);

    // Its application row goes to the certificate page.
    const QModelIndex app = devModel()->index(0, 0, device);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(app).center());
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 2);
    QCOMPARE(ctnRows(), 1);
    QVERIFY(child<QTreeView>("treeView")->isHeaderHidden());

    // The arrow keys choose as a click does: up to the device, down to its application again.
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Up);
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 1);
    QCOMPARE(child<QTabWidget>("tabWidget_2")->currentIndex(), 1);
    QCOMPARE(infoValue(10), QStringLiteral("6"));
    QTest::keyClick(tree, Qt::Key_Down);
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 2);
    QCOMPARE(ctnRows(), 1);

    // The same decisions for the current row.
    tree->setCurrentIndex(device);
    child<QTabWidget>("tabWidget")->setCurrentIndex(3);
    m_window->Dev_App_selected_noindex();
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 1);
    QCOMPARE(child<QTabWidget>("tabWidget_2")->currentIndex(), 1);
    tree->setCurrentIndex(app);
    m_window->Dev_App_selected_noindex();
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 2);
}

void TstDevTree::failedApplicationOpenDisablesButtons()
{
    QVERIFY(makeToken("NOOPEN"));
    QVERIFY(m_fx.addContainer("NOOPEN", "k", "sm2"));
    m_window->slotEventChange();
    QVERIFY(m_fx.fail("SKF_OpenApplication", 0x0A000001));

    m_window->chooseDev("NOOPEN");
    QVERIFY(enabled("btn_ChangeLabel"));
    for (const char* button : {"btn_clearEmptyCtn", "btn_VerifyPIN", "btn_ChangePIN", "btn_UnblockPIN"})
        QVERIFY2(!enabled(button), button);
    QCOMPARE(infoValue(1), QStringLiteral("SN-NOOPEN"));
    QCOMPARE(infoValue(9), QStringLiteral("  "));

    m_window->chooseApp("NOOPEN");
    QCOMPARE(ctnRows(), 0);
    for (const char* button : {"btn_clearEmptyCtn", "btn_VerifyPIN", "btn_ChangePIN", "btn_UnblockPIN"})
        QVERIFY2(!enabled(button), button);
}

void TstDevTree::deviceWithoutChildShowsOnlyItself()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "SHOWN";
    spec.serial = "SN-SHOWN";
    QVERIFY(makeToken(spec));
    SoftSkfFixture::TokenSpec other;
    other.name = "FULL";
    QVERIFY(makeToken(other));
    QVERIFY(m_fx.addContainer("FULL", "full-ctn", "sm2"));
    m_window->chooseApp("FULL");
    QCOMPARE(ctnRows(), 1);
    QVERIFY(m_fx.fail("SKF_EnumApplication", 0x0A000001));
    m_window->slotEventChange();
    const QModelIndex device = deviceRow(m_window, "SHOWN");
    QVERIFY(device.isValid());
    QCOMPARE(devModel()->rowCount(device), 0);

    // The row is a device: its own page, no application, nothing of the other token.
    m_window->chooseApp("FULL");
    m_window->Dev_App_selected(device);
    QCOMPARE(child<QLabel>("label_bottom")->text(), QString::fromUtf8("Lumeno    当前设备SN：SN-SHOWN"));
    QCOMPARE(infoValue(1), QStringLiteral("SN-SHOWN"));
    QCOMPARE(infoValue(9), QStringLiteral("  "));
    QCOMPARE(child<QTabWidget>("tabWidget")->currentIndex(), 1);
    QCOMPARE(m_window->chosenToken().device, std::string("SHOWN"));
    QVERIFY(m_window->chosenToken().application.empty());
    for (const char* button : {"btn_clearEmptyCtn", "btn_VerifyPIN", "btn_ChangePIN", "btn_UnblockPIN"})
        QVERIFY2(!enabled(button), button);
}

void TstDevTree::overlongDeviceNameIsRefused()
{
    // A 63-byte name is the longest the buffer holds; a longer one must not be cut down to it, and
    // the token shown before must not stay on the page as if it were the one chosen.
    SoftSkfFixture::TokenSpec spec;
    spec.name = QString(63, QLatin1Char('L'));
    spec.serial = "SN-LONGEST";
    QVERIFY(makeToken(spec));
    SoftSkfFixture::TokenSpec other;
    other.name = "OTHER";
    QVERIFY(makeToken(other));
    QVERIFY(m_fx.addContainer("OTHER", "other-ctn", "sm2"));

    m_window->chooseDev(spec.name);
    QCOMPARE(infoValue(1), QStringLiteral("SN-LONGEST"));
    for (const QString& refused : {spec.name + QLatin1Char('X'), QString(64, QLatin1Char('L')), QString()}) {
        m_window->chooseApp("OTHER");
        QCOMPARE(infoValue(1), QStringLiteral("SN-OTHER"));
        QCOMPARE(ctnRows(), 1);
        m_window->chooseApp(refused);
        QCOMPARE(infoValue(1), QString());
        QCOMPARE(child<QLabel>("label_bottom")->text(), QString());
        QCOMPARE(ctnRows(), 0);
        QVERIFY(m_window->chosenToken().empty());
        QCOMPARE(m_window->appName()[0], '\0');
        for (const char* button : {"btn_clearEmptyCtn", "btn_VerifyPIN", "btn_ChangePIN", "btn_UnblockPIN"})
            QVERIFY2(!enabled(button), button);
    }
}

void TstDevTree::hostileAnswersKeepViewsWithinBounds()
{
    SoftSkfFixture::TokenSpec spec;
    spec.name = "ROUGH";
    spec.label = "LBL";
    spec.serial = "SER";
    spec.manufacturer = "MFR";
    QVERIFY(makeToken(spec));
    QVERIFY(m_fx.addContainer("ROUGH", "c", "sm2"));
    QVERIFY(m_fx.addCert("ROUGH", "c", false, "enc-cn", 365));

    // Text fields filled to their full width without a terminator are cut at that width.
    QVERIFY(m_fx.hostile("devinfo-unterminated"));
    m_window->chooseDev("ROUGH");
    QCOMPARE(infoValue(0), "LBL" + QString(29, QLatin1Char('*')));
    QCOMPARE(infoValue(1), "SER" + QString(29, QLatin1Char('*')));
    QCOMPARE(infoValue(2), "MFR" + QString(61, QLatin1Char('*')));
    QVERIFY(m_fx.hostileOff());

    // Sizes reported beyond the buffers given change nothing that is shown.
    QVERIFY(m_fx.hostile("size-overstated"));
    m_window->chooseApp("ROUGH");
    QCOMPARE(
        describeChildren(ctnModel(), ctnModel()->index(0, 0)),
        QStringLiteral("Encrypt&Decrypt(ECC256)[enc-cn,Public key,Private key];Sign(ECC256)[Public key,Private key]"));
}

void TstDevTree::namesAreTheTokensBytes()
{
    // Two pairs that look alike: "主容器" in GBK and in UTF-8; a byte neither can read beside U+FFFD,
    // what a decoder makes of it. Listed in the order of their bytes, each row acts on its own token.
    const QStringList names{QString::fromUtf8("A\uFFFD"), "A\\xff", "\\xd6\\xf7\\xc8\\xdd\\xc6\\xf7",
                            QString::fromUtf8("主容器")};
    for (int r = 0; r < names.size(); ++r) {
        SoftSkfFixture::TokenSpec spec;
        spec.name = names[r];
        spec.serial = QStringLiteral("SN%1").arg(r);
        QVERIFY(makeToken(spec));
    }
    QVERIFY(m_fx.addContainer(names[2], "c", "sm2"));
    m_window->slotEventChange();
    QCOMPARE(listedDevices(m_window), (QStringList{names[0], "A\\xff", names[3], names[3]}));
    for (int r = 0; r < names.size(); ++r) {
        m_window->Dev_App_selected(devModel()->index(r, 0));
        QCOMPARE(infoValue(1), QStringLiteral("SN%1").arg(r));
        m_window->Dev_App_selected(devModel()->index(0, 0, devModel()->index(r, 0)));
        QCOMPARE(ctnRows(), r == 2 ? 1 : 0);
    }
    // A text from outside names the device that shows it.
    m_window->chooseDev("A\\xff");
    QCOMPARE(infoValue(1), QStringLiteral("SN1"));
}

QTEST_MAIN(TstDevTree)
#include "tst_devtree.moc"
