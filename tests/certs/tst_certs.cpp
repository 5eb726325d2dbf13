// The certificate page against softskf tokens: which rows view, export and delete, in every
// language; the exported and viewed bytes; container deletion and the clean-up of empty containers;
// the import. One window per test program: its threads live to the end.
#include "MainWindow.h"
#include "cDevMgr.h"
#include "certfile_dialogs.h"
#include "certfile_io.h"
#include "certfile_select.h"
#include "keymgr_config.h"
#include "messagecatch.h"
#include "modaldriver.h"
#include "multilang.h"
#include "myMessageBox.h"
#include "softskf_fixture.h"
#include "testfiles.h"
#include "tokentext.h"
#include "traylog.h"
#include "widgets.h"
#include "windowsetup.h"

#include <QtTest>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTreeView>

#include <openssl/x509.h>
#include <sys/stat.h>

namespace {

const char kToken[] = "TOKEN1";
const char kOther[] = "TOKEN2";
const char kPin[] = "12345678";
const char kGbk[] = "\\xd6\\xf7\\xc8\\xdd\\xc6\\xf7"; // "主容器" in GBK, as softskf-ctl takes it

using Shown = ShownMessage;

bool parsesAsCertificate(const QByteArray& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.constData());
    X509* cert = d2i_X509(nullptr, &p, der.size());
    const bool whole = cert && p == reinterpret_cast<const unsigned char*>(der.constData()) + der.size();
    X509_free(cert);
    return whole;
}

} // namespace

class TestCerts : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void viewRows();
    void viewRows_data() { addRowRules(true); }
    void exportRows();
    void exportRows_data() { addRowRules(true); }
    // A container row deletes: deleteContainer covers it.
    void deleteIgnoresOtherRows();
    void deleteIgnoresOtherRows_data() { addRowRules(false); }

    void exportCancelledDoesNothing();
    void exportAfterTokenPulledOut();
    void exportFailures_data();
    void exportFailures();
    void viewDoesNotFollowPlantedLink();
    void longCertificate();
    void unusableContainerLabel_data();
    void unusableContainerLabel();

    void deleteContainer_data();
    void deleteContainer();

    void clearEmpty_data();
    void clearEmpty();

    void import_data();
    void import();

private:
    static void addRowRules(bool containerRows);
    template <typename T = QWidget> T* child(const QString& name) { return ::child<T>(m_window, name); }
    QTreeView* tree() { return child<QTreeView>("treeView"); }
    // The row of a container (pair < 0), a key pair (item < 0) or an item, in the tree as shown.
    QModelIndex find(const QString& container, int pair = -1, int item = -1);
    void useLanguage(int index);
    // The token's certificate page after its user PIN was verified on the verify page, as the user
    // opens it before export and delete.
    void openVerified(const QString& token);
    Shown run(const std::function<void()>& action, bool rejectOthers = true)
    {
        return catchMessages(action, rejectOthers);
    }

    SoftSkfFixture m_skf;
    QTemporaryDir m_shared;
    MainWindow* m_window = nullptr;
    TrayLog* m_tray = nullptr;
    int m_language = -1;
    QString m_saveAnswer;
    int m_saveAsked = 0;
    QString m_openAnswer;
    std::function<void()> m_whileSaving; // runs while the save dialog is up
};

void TestCerts::initTestCase()
{
    QVERIFY(m_skf.init());
    SoftSkfFixture::TokenSpec spec;
    spec.name = kToken;
    QVERIFY(m_skf.createToken(spec));
    QVERIFY(m_skf.addContainer(kToken, "rsaSig", "rsa2048"));
    QVERIFY(m_skf.addCert(kToken, "rsaSig", true, "Alice", 365));
    QVERIFY(m_skf.addContainer(kToken, "rsaEnc", "rsa2048"));
    QVERIFY(m_skf.addCert(kToken, "rsaEnc", false, "Bob", 365));
    QVERIFY(m_skf.addContainer(kToken, "sm2Both", "sm2"));
    QVERIFY(m_skf.addCert(kToken, "sm2Both", true, "Carol sign", 365));
    QVERIFY(m_skf.addCert(kToken, "sm2Both", false, "Carol enc", 365));
    QVERIFY(m_skf.addContainer(kToken, "tricky", "sm2"));
    QVERIFY(m_skf.addCert(kToken, "tricky", true, "Public key", 365));
    QVERIFY(m_skf.addContainer(kToken, QString::fromUtf8("容器甲"), "rsa1024"));
    QVERIFY(m_skf.addCert(kToken, QString::fromUtf8("容器甲"), true, "Dora", 365));
    QVERIFY(m_skf.addContainer(kToken, "imp", "rsa2048"));
    QVERIFY(m_skf.addContainer(kToken, kGbk, "sm2"));
    QVERIFY(m_skf.addCert(kToken, kGbk, true, "Gao", 365));

    spec.name = kOther;
    QVERIFY(m_skf.createToken(spec));
    for (const char* name : {"t2a", "t2b", "t2c"})
        QVERIFY(m_skf.addContainer(kOther, name, name[2] == 'b' ? "empty" : "sm2"));

    QVERIFY(m_shared.isValid());
    certfile::setTempDirForTesting(m_shared.path());
    certfile::setFileDialogsForTesting(
        [this](QWidget*, const QString&, const QString&) {
            ++m_saveAsked;
            if (m_whileSaving)
                m_whileSaving();
            return m_saveAnswer;
        },
        [this](QWidget*, const QString&, const QString&, const QString&) { return m_openAnswer; });

    // A token with its factory PIN, present at start: the first listing already prompts in the
    // window's language.
    spec.name = "FACTORY";
    spec.userPinDefault = true;
    QVERIFY(m_skf.createToken(spec));
    ModalDriver driver;
    driver.setTimeout(20000);
    driver.type("OldPIN_Edit", kPin).type("NewPIN_Edit", "abc123").type("ConfirmPIN_Edit", "abc123");
    driver.click("btn_msg_ok").click("btn_msg_ok");

    MainWindow::setLanguageDir(QString::fromUtf8(KEYMGR_LANG_DIR));
    m_window = new MainWindow();
    m_tray = new TrayLog(m_window);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone(), 20000);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(driver.seen().first().windowTitle, QString::fromUtf8("修改密码"));
    QCOMPARE(driver.seen().last().windowTitle, QString::fromUtf8("修改密码"));
    QVERIFY(!m_skf.userPin("FACTORY").value("default").toBool());
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    // The monitor is waiting for events: the tokens above were there before it, so none will come
    // to rebuild the tree while the tests choose rows.
    QTRY_VERIFY_WITH_TIMEOUT(m_skf.stats().value("SKF_WaitForDevEvent") >= 1, 10000);
}

void TestCerts::init()
{
    QVERIFY(m_skf.clearFaults());
    m_saveAsked = 0;
    QFile::remove(m_shared.filePath(certfile::kViewerFileName));
    clearStubLog();
}

void TestCerts::cleanupTestCase()
{
    delete m_window;
    delete m_tray;
}

void TestCerts::openVerified(const QString& token)
{
    m_window->chooseDev(token);
    m_window->btn_verifyPin();
    QTest::keyClicks(child<QLineEdit>("VerifyPIN_Edit"), kPin);
    QCOMPARE(run([&] { child<QPushButton>("btn_VerifyPIN_OK")->click(); }).mode, 2000u);
    m_window->chooseApp(token);
}

void TestCerts::useLanguage(int index)
{
    if (m_language != index) {
        m_window->chooseLangByIndex(index);
        m_language = index;
    }
}

QModelIndex TestCerts::find(const QString& container, int pair, int item)
{
    const QAbstractItemModel* model = tree()->model();
    for (int row = 0; model && row < model->rowCount(); ++row) {
        QModelIndex index = model->index(row, 0);
        if (index.data(tokentext::kNameBytesRole).toByteArray() != SoftSkfFixture::nameBytes(container))
            continue;
        if (pair >= 0)
            index = model->index(pair, 0, index);
        if (pair >= 0 && item >= 0)
            index = model->index(item, 0, index);
        return index;
    }
    return QModelIndex();
}

void TestCerts::addRowRules(bool containerRows)
{
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("container");
    QTest::addColumn<int>("pair");
    QTest::addColumn<int>("item");
    QTest::addColumn<QString>("certificate"); // "sign", "enc" or empty: the row is not a certificate

    const char* languages[] = {"zh_CN", "zh_TW", "en_US"};
    for (int language = 0; language < 3; ++language) {
        auto row = [&](const char* what, const QString& container, int pair, int item, const char* cert) {
            QTest::addRow("%s: %s", languages[language], what) << language << container << pair << item << cert;
        };
        // rsaSig: Sign(RSA2048) with certificate, public, private; then the encryption pair's keys.
        if (containerRows)
            row("container", "rsaSig", -1, -1, "");
        row("signature pair", "rsaSig", 0, -1, "");
        row("signature certificate", "rsaSig", 0, 0, "sign");
        row("public key", "rsaSig", 0, 1, "");
        row("private key", "rsaSig", 0, 2, "");
        row("encryption pair without certificate", "rsaSig", 1, -1, "");
        row("its public key", "rsaSig", 1, 0, "");
        row("its private key", "rsaSig", 1, 1, "");
        // rsaEnc lists its encryption pair first, with the certificate.
        row("encryption certificate listed first", "rsaEnc", 0, 0, "enc");
        row("signature pair without certificate", "rsaEnc", 1, -1, "");
        row("sm2 signature certificate", "sm2Both", 0, 0, "sign");
        row("sm2 encryption certificate", "sm2Both", 1, 0, "enc");
        row("sm2 encryption public key", "sm2Both", 1, 1, "");
        row("certificate named Public key", "tricky", 0, 0, "sign");
        row("its real public key", "tricky", 0, 1, "");
        row("multi-byte container name", QString::fromUtf8("容器甲"), 0, 0, "sign");
        row("GBK container name", kGbk, 0, 0, "sign");
    }
}

void TestCerts::viewRows()
{
    QFETCH(int, language);
    QFETCH(QString, container);
    QFETCH(int, pair);
    QFETCH(int, item);
    QFETCH(QString, certificate);
    useLanguage(language);
    m_window->chooseApp(kToken);
    const QModelIndex index = find(container, pair, item);
    QVERIFY(index.isValid());
    tree()->setCurrentIndex(index);

    // The button and a double click on the row.
    Shown shown = run([&] { child<QPushButton>("btn_ViewCert")->click(); });
    QVERIFY(!shown.shown && shown.other.isEmpty());
    shown = run([&] { emit tree()->doubleClicked(index); });
    QVERIFY(!shown.shown && shown.other.isEmpty());

    const QString copy = m_shared.filePath(certfile::kViewerFileName);
    if (certificate.isEmpty()) {
        QVERIFY(!QFileInfo::exists(copy));
        // A certificate row viewed next starts the one viewer the log then holds.
        tree()->setCurrentIndex(find("rsaSig", 0, 0));
        run([&] { child<QPushButton>("btn_ViewCert")->click(); });
        QTRY_COMPARE(stubCalls(), (QStringList{"gcr-viewer 1", copy}));
        return;
    }
    QTRY_COMPARE(stubCalls().size(), 4);
    QCOMPARE(stubCalls(), (QStringList{"gcr-viewer 1", copy, "gcr-viewer 1", copy}));
    const QByteArray expected = m_skf.certDer(kToken, container, certificate == "sign");
    QVERIFY(!expected.isEmpty());
    QCOMPARE(readFile(copy), expected);
    QCOMPARE(QFileInfo(copy).permissions() & (QFile::ReadOther | QFile::WriteOther | QFile::WriteGroup),
             QFile::Permissions());
}

void TestCerts::exportRows()
{
    QFETCH(int, language);
    QFETCH(QString, container);
    QFETCH(int, pair);
    QFETCH(int, item);
    QFETCH(QString, certificate);
    useLanguage(language);
    openVerified(kToken);
    const QModelIndex index = find(container, pair, item);
    QVERIFY(index.isValid());
    tree()->setCurrentIndex(index);

    m_saveAnswer = SoftSkfFixture::tempPath(QStringLiteral("exported.cer"));
    QFile::remove(m_saveAnswer);
    const mode_t mask = ::umask(0);
    const Shown shown = run([&] { child<QPushButton>("btn_ExpCert")->click(); });
    ::umask(mask);
    if (certificate.isEmpty()) {
        QCOMPARE(m_saveAsked, 0);
        QVERIFY(!shown.shown);
        QVERIFY(!QFileInfo::exists(m_saveAnswer));
        return;
    }
    QCOMPARE(m_saveAsked, 1);
    QVERIFY(shown.shown);
    QCOMPARE(shown.mode, 8002u);
    QCOMPARE(shown.title, myMessageBox::titleText(9006));
    const QByteArray der = readFile(m_saveAnswer);
    QCOMPARE(der, m_skf.certDer(kToken, container, certificate == "sign"));
    QVERIFY(parsesAsCertificate(der));
    QCOMPARE(QFileInfo(m_saveAnswer).permissions() & (QFile::WriteOther | QFile::WriteGroup), QFile::Permissions());
}

void TestCerts::deleteIgnoresOtherRows()
{
    QFETCH(int, language);
    QFETCH(QString, container);
    QFETCH(int, pair);
    QFETCH(int, item);
    useLanguage(language);
    openVerified(kToken);
    const QStringList before = m_skf.containers(kToken);
    const QModelIndex index = find(container, pair, item);
    QVERIFY(index.isValid());
    tree()->setCurrentIndex(index);
    const Shown shown = run([&] { child<QPushButton>("btn_DelCtn")->click(); });
    QVERIFY(!shown.shown && shown.other.isEmpty());
    QCOMPARE(m_skf.containers(kToken), before);
    QVERIFY(find(container, pair, item).isValid());
}

void TestCerts::exportCancelledDoesNothing()
{
    useLanguage(2);
    openVerified(kToken);
    tree()->setCurrentIndex(find("rsaSig", 0, 0));
    m_saveAnswer.clear();
    const Shown shown = run([&] { child<QPushButton>("btn_ExpCert")->click(); });
    QCOMPARE(m_saveAsked, 1);
    QVERIFY(!shown.shown && shown.other.isEmpty());
}

// Another token plugged out and in while the save dialog is up: tst_tokenevents' chosen-token rows.
void TestCerts::exportAfterTokenPulledOut()
{
    useLanguage(2);
    openVerified(kToken);
    tree()->setCurrentIndex(find("rsaSig", 0, 0));
    m_saveAnswer = SoftSkfFixture::tempPath(QStringLiteral("across.cer"));
    QFile::remove(m_saveAnswer);
    bool handled = false;
    m_whileSaving = [&] {
        // The event is handled in the dialog's event loop: the tree is rebuilt, the row freed.
        handled = m_tray->plug(m_skf, kToken, false) && m_window->chosenToken().empty();
    };
    const Shown shown = run([&] { child<QPushButton>("btn_ExpCert")->click(); });
    m_whileSaving = nullptr;
    QVERIFY(handled);
    QCOMPARE(shown.mode, 8005u);
    QVERIFY(!QFileInfo::exists(m_saveAnswer));
    QVERIFY(m_tray->plug(m_skf, kToken, true));
    QVERIFY(listedDevices(m_window).contains(kToken));
}

void TestCerts::exportFailures_data()
{
    QTest::addColumn<QString>("target"); // relative to the test's folder
    QTest::addColumn<QString>("fault");  // SKF function made to fail
    QTest::newRow("folder does not exist") << "missing/export.cer"
                                           << "";
    QTest::newRow("target is a folder") << "."
                                        << "";
    QTest::newRow("token cannot export") << "export.cer"
                                         << "SKF_ExportCertificate";
    QTest::newRow("container does not open") << "export.cer"
                                             << "SKF_OpenContainer";
    // Longer than the first try: the library names its size, then the fetch of that size fails.
    QTest::newRow("long certificate's fetch fails") << "export.cer"
                                                    << "SKF_ExportCertificate#2";
}

void TestCerts::exportFailures()
{
    QFETCH(QString, target);
    QFETCH(QString, fault);
    useLanguage(2);
    openVerified(kToken);
    tree()->setCurrentIndex(find("rsaSig", 0, 0));
    m_saveAnswer = QDir(QDir::tempPath()).filePath(target);
    QFile::remove(m_saveAnswer);
    if (!fault.isEmpty())
        QVERIFY(m_skf.fail(fault, 0x0A000001));
    if (fault.contains('#'))
        QVERIFY(m_skf.hostile("long-cert", 20000));
    const Shown shown = run([&] { child<QPushButton>("btn_ExpCert")->click(); });
    QVERIFY(m_skf.hostileOff());
    QVERIFY(shown.shown);
    QCOMPARE(shown.mode, 8005u);
    QCOMPARE(shown.text, myMessageBox::modeText(8005, 0));
    QCOMPARE(shown.title, myMessageBox::titleText(9006));
    if (target != ".")
        QVERIFY(!QFileInfo::exists(m_saveAnswer));
}

void TestCerts::viewDoesNotFollowPlantedLink()
{
    useLanguage(2);
    m_window->chooseApp(kToken);
    const QString victim = SoftSkfFixture::tempPath(QStringLiteral("victim"));
    QVERIFY(writeFile(victim, "the test's file"));
    const QString planted = m_shared.filePath(certfile::kViewerFileName);
    QVERIFY(QFile::link(victim, planted));

    tree()->setCurrentIndex(find("sm2Both", 1, 0));
    const Shown shown = run([&] { child<QPushButton>("btn_ViewCert")->click(); });
    QVERIFY(!shown.shown);
    QTRY_COMPARE(stubCalls().size(), 2);
    const QString viewed = stubCalls().at(1);
    QCOMPARE(stubCalls().at(0), QStringLiteral("gcr-viewer 1"));
    QVERIFY(viewed != planted);
    QCOMPARE(readFile(viewed), m_skf.certDer(kToken, "sm2Both", false));
    QCOMPARE(readFile(victim), QByteArray("the test's file"));
    QVERIFY(QFileInfo(planted).isSymLink());
    QFile::remove(planted);
}

// An 11 KB certificate is listed, viewed and exported whole.
void TestCerts::longCertificate()
{
    QVERIFY(m_skf.createToken("LONGCERT"));
    QVERIFY(m_skf.addContainer("LONGCERT", "big", "sm2"));
    QVERIFY(m_skf.addCert("LONGCERT", "big", true, "Erin", 365));
    QVERIFY(m_skf.hostile("long-cert", 11 * 1024));
    const auto off = qScopeGuard([this] { m_skf.hostileOff(); });
    useLanguage(2);
    openVerified("LONGCERT");
    const QModelIndex cert = find("big", 0, 0);
    QCOMPARE(cert.data().toString(), QStringLiteral("Erin"));
    tree()->setCurrentIndex(cert);
    run([&] { child<QPushButton>("btn_ViewCert")->click(); });
    const QString copy = m_shared.filePath(certfile::kViewerFileName);
    QTRY_COMPARE(stubCalls(), (QStringList{"gcr-viewer 1", copy}));
    m_saveAnswer = SoftSkfFixture::tempPath(QStringLiteral("long.cer"));
    const Shown shown = run([&] { child<QPushButton>("btn_ExpCert")->click(); });
    QCOMPARE(shown.mode, 8002u);
    const QByteArray viewed = readFile(copy);
    QVERIFY(viewed.size() >= 11 * 1024);
    QVERIFY(parsesAsCertificate(viewed));
    QCOMPARE(readFile(m_saveAnswer), viewed);
}

void TestCerts::unusableContainerLabel_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("button");
    QTest::addColumn<uint>("title");
    const QString suffix = certfile::containerSuffix();
    const QString tooLong = QString(128, 'n') + suffix;
    QTest::newRow("delete: 128-byte name") << tooLong << "btn_DelCtn" << 9007u;
    QTest::newRow("delete: suffix only") << suffix << "btn_DelCtn" << 9007u;
    QTest::newRow("delete: no suffix") << "rsaSig"
                                       << "btn_DelCtn" << 9007u;
    QTest::newRow("export: 128-byte name") << tooLong << "btn_ExpCert" << 9006u;
    QTest::newRow("view: 128-byte name") << tooLong << "btn_ViewCert" << 9007u;
    QTest::newRow("import: 128-byte name") << tooLong << "btn_ImpCert" << 9005u;
}

void TestCerts::unusableContainerLabel()
{
    QFETCH(QString, label);
    QFETCH(QString, button);
    QFETCH(uint, title);
    useLanguage(2);
    openVerified(kToken);
    const QStringList before = m_skf.containers(kToken);
    // A row as a broken tree would show it, with a certificate below a signature pair.
    auto* model = qobject_cast<QStandardItemModel*>(tree()->model());
    QVERIFY(model);
    auto* container = new QStandardItem(label);
    const QString suffix = certfile::containerSuffix();
    if (label.endsWith(suffix))
        container->setData(label.chopped(suffix.size()).toUtf8(), tokentext::kNameBytesRole);
    auto* pair = new QStandardItem(QString::fromUtf8(__(30023, "Sign(RSA2048)").c_str()));
    pair->appendRow(new QStandardItem("Alice"));
    pair->appendRow(new QStandardItem(QString::fromUtf8(__(30020, "Public key").c_str())));
    pair->appendRow(new QStandardItem(QString::fromUtf8(__(30021, "Private key").c_str())));
    container->appendRow(pair);
    model->appendRow(container);
    const QModelIndex row = button == "btn_DelCtn" ? container->index() : pair->child(0)->index();
    tree()->setCurrentIndex(row);
    m_saveAnswer = SoftSkfFixture::tempPath(QStringLiteral("never.cer"));
    m_openAnswer = SoftSkfFixture::tempPath(QStringLiteral("import.cer"));
    QVERIFY(writeFile(m_openAnswer, m_skf.certDer(kToken, "rsaSig", true)));

    const Shown shown = run([&] { child<QPushButton>(button)->click(); });
    QVERIFY(shown.shown);
    QCOMPARE(shown.mode, 8004u);
    QCOMPARE(shown.title, myMessageBox::titleText(title));
    QCOMPARE(m_skf.containers(kToken), before);
    QVERIFY(!QFileInfo::exists(m_saveAnswer));
    QVERIFY(stubCalls().isEmpty());
}

void TestCerts::deleteContainer_data()
{
    QTest::addColumn<QString>("answer"); // to the confirmation: "continue", "cancel", "close" or "escape"
    QTest::addColumn<QString>("fault");  // SKF function made to fail
    QTest::addColumn<bool>("pullOut");   // the token is pulled out while the confirmation is up
    QTest::addColumn<bool>("deleted");
    QTest::addColumn<QStringList>("names"); // the token's containers, as softskf-ctl takes them
    QTest::addColumn<int>("target");        // the row deleted

    auto row = [](const char* tag, const char* answer, const char* fault, bool pullOut, bool deleted,
                  const QStringList& names = {"t2a", "t2b", "t2c"},
                  int target = 1) { QTest::newRow(tag) << answer << fault << pullOut << deleted << names << target; };
    row("confirmed", "continue", "", false, true);
    row("cancelled", "cancel", "", false, false);
    row("closed", "close", "", false, false);
    row("Esc", "escape", "", false, false);
    row("token refuses", "continue", "SKF_DeleteContainer", false, false);
    row("token pulled out while asked", "continue", "", true, false);
    // Names as enrolment programs write them: each row deletes its own bytes, however it looks.
    row("GBK beside the same text in UTF-8", "continue", "", false, true, {QString::fromUtf8("主容器"), kGbk});
    row("A\\xff beside A and U+FFFD", "continue", "", false, true, {"A\\xff", QString::fromUtf8("A\uFFFD")}, 0);
}

void TestCerts::deleteContainer()
{
    QFETCH(QString, answer);
    QFETCH(QString, fault);
    QFETCH(bool, pullOut);
    QFETCH(bool, deleted);
    QFETCH(QStringList, names);
    QFETCH(int, target);
    static int made = 0;
    const QString token = QStringLiteral("DEL%1").arg(++made);
    QVERIFY(m_skf.createToken(token));
    for (int i = 0; i < names.size(); ++i)
        QVERIFY(m_skf.addContainer(token, names[i], i == target ? "empty" : "sm2"));
    useLanguage(2);
    openVerified(token);
    tree()->setCurrentIndex(tree()->model()->index(target, 0));
    if (!fault.isEmpty())
        QVERIFY(m_skf.fail(fault, 0x0A000001));

    ModalDriver driver;
    bool handled = !pullOut;
    driver.inspect([&](QWidget*) {
        // The token event is handled inside the confirmation's event loop and frees the row.
        if (pullOut)
            handled = m_tray->plug(m_skf, token, false) && m_window->chosenToken().empty();
    });
    if (answer == "continue")
        driver.click("btn_msg_ok");
    else if (answer == "cancel")
        driver.click("btn_msg_cancel");
    else if (answer == "close")
        driver.close();
    else
        driver.escape();
    const bool failure = answer == "continue" && !deleted;
    if (failure)
        driver.click("btn_msg_ok");
    child<QPushButton>("btn_DelCtn")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QVERIFY(handled);
    QCOMPARE(driver.seen().size(), failure ? 2 : 1);
    QCOMPARE(driver.seen()[0].labels.value("lab_msg"), myMessageBox::modeText(4001, 0));
    QCOMPARE(driver.seen()[0].windowTitle, myMessageBox::titleText(9008));
    if (failure) {
        QCOMPARE(driver.seen()[1].labels.value("lab_msg"), myMessageBox::modeText(7000, 0));
        QCOMPARE(driver.seen()[1].windowTitle, myMessageBox::titleText(9008));
    }
    QVERIFY(m_skf.clearFaults());
    QStringList left = names;
    if (deleted)
        left.removeAt(target);
    QCOMPARE(m_skf.containers(token), left);
    QVERIFY(m_skf.containers(kToken).contains("rsaSig"));
    if (pullOut) {
        QVERIFY(m_tray->plug(m_skf, token, true));
        QVERIFY(deviceRow(m_window, token).isValid());
        return;
    }
    // The page shows what is left on the token the container was deleted from.
    QCOMPARE(tree()->model()->rowCount(), left.size());
}

void TestCerts::clearEmpty_data()
{
    QTest::addColumn<QString>("pin");   // empty: the PIN dialog is cancelled
    QTest::addColumn<int>("remaining"); // user PIN tries left before
    QTest::addColumn<QString>("fault"); // SKF function made to fail
    QTest::addColumn<uint>("mode");     // 0: no message
    QTest::addColumn<uint>("title");
    QTest::addColumn<bool>("cleared");

    QTest::newRow("cancelled") << "" << 6 << "" << 0u << 0u << false;
    QTest::newRow("wrong PIN, 2 tries left") << "wrong-pin" << 3 << "" << 2009u << 9002u << false;
    QTest::newRow("locked") << "wrong-pin" << 1 << "" << 2007u << 9002u << false;
    QTest::newRow("verification fails otherwise") << kPin << 6 << "SKF_VerifyPIN" << 7000u << 9002u << false;
    QTest::newRow("containers cannot be listed") << kPin << 6 << "SKF_EnumContainer" << 9012u << 9013u << false;
    QTest::newRow("deletions refused") << kPin << 6 << "SKF_DeleteContainer" << 9012u << 9013u << false;
    QTest::newRow("success") << kPin << 6 << "" << 9011u << 9013u << true;
}

void TestCerts::clearEmpty()
{
    QFETCH(QString, pin);
    QFETCH(int, remaining);
    QFETCH(QString, fault);
    QFETCH(uint, mode);
    QFETCH(uint, title);
    QFETCH(bool, cleared);

    // A fresh token per row: creating one raises no token event that could reset the page midway.
    static int made = 0;
    const QString token = QStringLiteral("CLEAN%1").arg(++made);
    QVERIFY(m_skf.createToken(token));
    QVERIFY(m_skf.addContainer(token, "e1", "empty"));
    QVERIFY(m_skf.addContainer(token, "k1", "sm2"));
    QVERIFY(m_skf.addContainer(token, "e2", "empty"));
    QVERIFY(m_skf.addContainer(token, "k2", "rsa2048"));
    QVERIFY(m_skf.setPin(token, "user", kPin, 6, remaining, 0));
    useLanguage(2);
    m_window->chooseApp(token);
    QVERIFY(child<QPushButton>("btn_clearEmptyCtn")->isEnabled());
    if (!fault.isEmpty())
        QVERIFY(m_skf.fail(fault, 0x0A000001));

    ModalDriver driver;
    if (pin.isEmpty())
        driver.click("btn_cancel");
    else
        driver.type("lineEdit_pin", pin).click("btn_ok");
    const Shown shown = run([&] { child<QPushButton>("btn_clearEmptyCtn")->click(); }, false);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(shown.shown, mode != 0);
    if (mode != 0) {
        QCOMPARE(shown.mode, mode);
        QCOMPARE(shown.title, myMessageBox::titleText(title));
        // The wrong-PIN text carries the tries left.
        QCOMPARE(shown.text, myMessageBox::modeText(mode, mode == 2009u ? 2 : 0));
        if (mode == 2009u)
            QVERIFY(shown.text.contains(QLatin1Char('2')));
    }
    QVERIFY(m_skf.clearFaults());
    const QStringList expected = cleared ? QStringList{"k1", "k2"} : QStringList{"e1", "k1", "e2", "k2"};
    QCOMPARE(m_skf.containers(token), expected);
}

void TestCerts::import_data()
{
    QTest::addColumn<QString>("file"); // "": dialog cancelled; "missing": a file that does not exist
    QTest::addColumn<int>("pair");     // the row chosen under "imp": -2 none, -1 the container
    QTest::addColumn<int>("item");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<uint>("mode");

    QTest::newRow("cancelled") << "" << -1 << -1 << "" << 8000u;
    QTest::newRow("no row chosen") << "cert" << -2 << -1 << "" << 8004u;
    QTest::newRow("file cannot be read") << "missing" << -1 << -1 << "" << 8004u;
    QTest::newRow("endless device") << "/dev/zero" << -1 << -1 << "" << 8004u;
    QTest::newRow("token refuses") << "cert" << -1 << -1 << "SKF_ImportCertificate" << 8004u;
    QTest::newRow("container row") << "cert" << -1 << -1 << "" << 8001u;
    QTest::newRow("key-pair row") << "cert" << 0 << -1 << "" << 8001u;
    QTest::newRow("row two levels below") << "cert" << 0 << 1 << "" << 8001u;
}

void TestCerts::import()
{
    QFETCH(QString, file);
    QFETCH(int, pair);
    QFETCH(int, item);
    QFETCH(QString, fault);
    QFETCH(uint, mode);
    useLanguage(2);
    m_window->chooseApp(kToken);
    const QByteArray before = m_skf.certDer(kToken, "imp", true);

    const QByteArray der = SoftSkfFixture::makeCertificate(QString::fromLatin1(QTest::currentDataTag()),
                                                           QDateTime::currentDateTimeUtc().addDays(30), QDateTime(),
                                                           QStringLiteral("rsa2048"));
    m_openAnswer.clear();
    if (file == "cert") {
        m_openAnswer = SoftSkfFixture::tempPath(QStringLiteral("import.cer"));
        QVERIFY(writeFile(m_openAnswer, der));
    } else if (file == "missing") {
        m_openAnswer = SoftSkfFixture::tempPath(QStringLiteral("no-such.cer"));
    } else {
        m_openAnswer = file;
    }
    const QModelIndex row = pair == -2 ? QModelIndex() : find("imp", pair, item);
    QVERIFY(pair == -2 || row.isValid());
    tree()->setCurrentIndex(row);
    if (!fault.isEmpty())
        QVERIFY(m_skf.fail(fault, 0x0A000001));

    const Shown shown = run([&] { m_window->btn_importCert(); });
    QVERIFY(shown.shown);
    QCOMPARE(shown.mode, mode);
    QCOMPARE(shown.title, myMessageBox::titleText(9005));
    QVERIFY(m_skf.clearFaults());
    QCOMPARE(m_skf.certDer(kToken, "imp", true), mode == 8001u ? der : before);
    if (mode == 8001u)
        QVERIFY(find("imp", 0, 0).isValid());
}

QTEST_MAIN(TestCerts)
#include "tst_certs.moc"
