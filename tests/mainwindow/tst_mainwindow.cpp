// The main window as built: widget tree, initial state, connections, tray, language switching
// and settings. One window per test program: its threads are never destroyed.
#include "JsonConfig.h"
#include "MainWindow.h"
#include "SetPin.h"
#include "SystemOptions.h"
#include "VerifyPin.h"
#include "cDevMgr.h"
#include "keymgr_config.h"
#include "mgrversion.h"
#include "modaldriver.h"
#include "multilang.h"
#include "myMessageBox.h"
#include "testfiles.h"
#include "widgets.h"

#include <QtTest>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTreeView>

#include <sys/stat.h>

namespace {

const char kTitle[] = "Norvik银行国密Key管理工具";

struct RetextRow {
    const char* name;
    unsigned long id;
    const char* defaultText;
};

// A few widgets of each kind and page, not a copy of the window's whole list; retexting() finds
// any other text that does not follow the language.
const RetextRow kRetexted[] = {
    {"lab_changePIN_2", 32004, "Change User PIN"},
    {"lab_PIN", 32012, "User PIN"},
    {"lab_Init_LabelName", 32022, "New Label Name"},
    {"lab_cert_2", 30001, "Data Manager"},
    {"btn_ChangeAuthKey", 32027, "Change Key"},
    {"btn_ViewCert", 32033, "View"},
    {"btn_ChangeLab_OK", 30030, "OK"},
    {"chb_devAuthkey", 32044, "default"},
};

QString textOf(QWidget* widget)
{
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    return QStringLiteral("<no text>");
}

QString sourceLangDir()
{
    return qEnvironmentVariable("KEYMGR_SOURCE_DIR") + "/multilang/lang";
}

}

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void fixedSize();
    void lineEdits_data();
    void lineEdits();
    void labelsShowPlainText();
    void initialState_data();
    void initialState();
    void pages();
    void logoShowsAboutPage();
    void titleAndVersion();
    void startsInSimplifiedChinese();
    void retexting_data();
    void retexting();
    void indexOutsideTheListIsIgnored_data();
    void indexOutsideTheListIsIgnored();
    void languageListIsConnected();
    void libraryNotice_data();
    void libraryNotice();
    void closeOnlyHides();
    void lookAfterFirstShow_data();
    void lookAfterFirstShow();
    void trayIconAndMenu();
    void trayActivation_data();
    void trayActivation();
    void trayMenuActions();
    void settingsFile_data();
    void settingsFile();
    void systemOptionsCreatesDirectoryWithBothKeys();
    void systemOptionsKeepsOtherKeys();
    void systemOptionsEmptyAddressRefused();
    void systemOptionsCancelChangesNothing();
    void systemOptionsUnwritableDirectory();

private:
    template <typename T = QWidget> T* child(const char* name) { return ::child<T>(m_window, name); }
    void resetSettings();

    MainWindow* m_window = nullptr;
    QList<QStringList> m_trayMessages;
};

void TestMainWindow::initTestCase()
{
    // Installed without the token's driver: no SKF library where the program looks.
    cDevMgr::setLibraryPathForTesting(QFile::encodeName(QDir::tempPath() + "/no-driver/liborvane.so.1.0.0"));
    m_window = new MainWindow();
    m_window->setTrayMessageObserver([this](const QString& title, const QString& text, int msecs) {
        m_trayMessages.append({title, text, QString::number(msecs)});
    });
}

void TestMainWindow::cleanupTestCase()
{
    delete m_window;
}

void TestMainWindow::fixedSize()
{
    QCOMPARE(m_window->size(), QSize(702, 530));
    QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
    QVERIFY(!m_window->windowIcon().isNull());
}

void TestMainWindow::lineEdits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("maxLength");
    QTest::addColumn<int>("echo");
    const int normal = QLineEdit::Normal;
    const int password = QLineEdit::Password;
    // One field of each kind: a label, PINs of the verify and change pages, a device key.
    QTest::newRow("NewLabelEdit") << "NewLabelEdit" << 31 << normal;
    QTest::newRow("VerifyPIN_Edit") << "VerifyPIN_Edit" << 16 << password;
    QTest::newRow("NewPIN_Edit") << "NewPIN_Edit" << 16 << password;
    QTest::newRow("NewAuthKey_Edit") << "NewAuthKey_Edit" << 16 << normal;
    QTest::newRow("Init_LabelName_Edit") << "Init_LabelName_Edit" << 32 << normal;
}

void TestMainWindow::lineEdits()
{
    QFETCH(QString, name);
    QFETCH(int, maxLength);
    QFETCH(int, echo);
    auto* edit = m_window->findChild<QLineEdit*>(name);
    QVERIFY2(edit, qPrintable(name));
    QCOMPARE(edit->maxLength(), maxLength);
    QCOMPARE(int(edit->echoMode()), echo);
    // A longer text is cut to exactly the limit.
    QSignalBlocker quiet(edit);
    QString before = edit->text();
    edit->setText(QString(maxLength + 3, QChar('a')));
    QCOMPARE(edit->text().size(), maxLength);
    edit->setText(before);
}

// Every label may show text from a token, a certificate or a language file: none renders markup but
// the two the forms fill with rich text themselves.
void TestMainWindow::labelsShowPlainText()
{
    myMessageBox box;
    SetPin setPin(nullptr);
    VerifyPin verifyPin(nullptr);
    SystemOptions options;
    for (const QWidget* form : std::initializer_list<const QWidget*>{m_window, &box, &setPin, &verifyPin, &options}) {
        for (const QLabel* label : form->findChildren<QLabel*>()) {
            if (label->objectName() != "label_about" && label->objectName() != "lab_tips")
                QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->objectName()));
        }
    }
}

void TestMainWindow::initialState_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hidden");
    auto row = [](const char* name, bool enabled, bool hidden) {
        QTest::newRow(name) << QString(name) << enabled << hidden;
    };
    // Hidden pages' buttons, the certificate actions that wait for a verified PIN, what works at once.
    row("btn_ChangeAuthKey", false, true);
    row("btn_ImpCert", false, true);
    row("cbx_lang", true, true);
    row("btn_VerifyPIN", false, false);
    row("btn_ExpCert", false, false);
    row("btn_DelCtn", false, false);
    row("btn_ViewCert", true, false);
    row("btn_systemOp", true, false);
}

void TestMainWindow::initialState()
{
    QFETCH(QString, name);
    QFETCH(bool, enabled);
    QFETCH(bool, hidden);
    QWidget* widget = m_window->findChild<QWidget*>(name);
    QVERIFY2(widget, qPrintable(name));
    QCOMPARE(widget->isEnabled(), enabled);
    QCOMPARE(widget->isHidden(), hidden);
}

void TestMainWindow::pages()
{
    auto* outer = child<QTabWidget>("tabWidget");
    auto* inner = child<QTabWidget>("tabWidget_2");
    QStringList outerPages;
    for (int i = 0; i < outer->count(); ++i)
        outerPages << outer->widget(i)->objectName();
    QCOMPARE(outerPages, (QStringList {"tab", "ukey", "cert", "about"}));
    QStringList innerPages;
    for (int i = 0; i < inner->count(); ++i)
        innerPages << inner->widget(i)->objectName();
    QCOMPARE(innerPages, (QStringList {"tab_mainpage", "tab_keyinfo", "tab_changelab", "tab_verifyPIN",
                                       "tab_changePIN", "tab_ChangeDevAuth", "tab_Initialize", "tab_UnblockPIN"}));
    QCOMPARE(outer->currentIndex(), 1);
    QCOMPARE(inner->currentIndex(), 0);
    QVERIFY(outer->tabBar()->isHidden());
    QVERIFY(inner->tabBar()->isHidden());
    QVERIFY(inner->testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(outer->tabText(1), QString("U Key"));
    QVERIFY(child<QCheckBox>("chb_devAuthkey")->isChecked());
    QCOMPARE(child<QComboBox>("cbx_lang")->count(), 3);
    auto* devModel = qobject_cast<QStandardItemModel*>(child<QTreeView>("treeView_Dev")->model());
    QVERIFY(devModel);
    QCOMPARE(devModel->parent(), child<QTreeView>("treeView_Dev"));
}

void TestMainWindow::logoShowsAboutPage()
{
    auto* outer = child<QTabWidget>("tabWidget");
    child<QPushButton>("btn_logo")->click();
    QCOMPARE(outer->currentIndex(), 3);
    QCOMPARE(outer->currentWidget()->objectName(), QString("about"));
    QVERIFY(outer->tabBar()->isHidden());
    outer->setCurrentIndex(1);
}

void TestMainWindow::titleAndVersion()
{
    QCOMPARE(m_window->windowTitle(), QString::fromUtf8(kTitle));
    char version[64] = {};
    char ownership[64] = {};
    QCOMPARE(getMgrVersion(version, ownership), 0);
    QCOMPARE(child<QLabel>("label_version")->text(), QString::fromUtf8(version));
    QCOMPARE(child<QLabel>("label_2")->text(), QString::fromUtf8(version));
    QVERIFY(QString::fromUtf8(m_window->ownershipText()).contains("Lumeno"));
}

void TestMainWindow::startsInSimplifiedChinese()
{
    // The test runs with LANG=en_US.UTF-8: the list was placed on English, the texts are Chinese.
    QCOMPARE(qgetenv("LANG"), QByteArray("en_US.UTF-8"));
    QCOMPARE(child<QComboBox>("cbx_lang")->currentIndex(), 2);
    QCOMPARE(m_window->langID(), 2052);
    QCOMPARE(QByteArray(m_window->localeName()), QByteArray("zh_CN"));
    tessel::MultiLanguage chinese;
    chinese.SetPath(KEYMGR_LANG_DIR);
    chinese.SetPrefix("olvane");
    QVERIFY2(chinese.SetCodePage(2052), "the staged Simplified Chinese file");
    for (const RetextRow& row : kRetexted) {
        QString expected = QString::fromStdString(chinese.GetString(row.id, row.defaultText));
        QCOMPARE(textOf(child(row.name)), expected);
    }
    QVERIFY(child<QLabel>("lab_changePIN_2")->text() != QString("Change User PIN"));
}

void TestMainWindow::retexting_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("withFiles");
    QTest::addColumn<int>("langID");
    QTest::newRow("Simplified Chinese") << 0 << true << 2052;
    QTest::newRow("Traditional Chinese") << 1 << true << 1028;
    QTest::newRow("English") << 2 << true << 1033;
    QTest::newRow("Simplified Chinese without files") << 0 << false << 2052;
    QTest::newRow("English without files") << 2 << false << 1033;
}

void TestMainWindow::retexting()
{
    QFETCH(int, index);
    QFETCH(bool, withFiles);
    QFETCH(int, langID);
    QTemporaryDir empty;
    QString dir = withFiles ? sourceLangDir() : empty.path();

    tessel::MultiLanguage expected;
    expected.SetPath(dir.toStdString());
    expected.SetPrefix("olvane");
    QCOMPARE(expected.SetCodePage(langID), withFiles);
    auto text = [&](unsigned long id, const char* fallback) {
        return QString::fromStdString(expected.GetString(id, fallback));
    };

    child<QLabel>("label_bottom")->setText("SN");
    MainWindow::setLanguageDir(dir);
    m_window->chooseLangByIndex(index);
    // The device scan that follows a switch clears the device list (no token here): re-text alone
    // to see the header it gets.
    child<QLabel>("label_bottom")->setText("SN");
    m_window->updateUIlangFirst();
    MainWindow::setLanguageDir(KEYMGR_LANG_DIR);

    QCOMPARE(m_window->langID(), langID);
    for (const RetextRow& row : kRetexted)
        QCOMPARE(textOf(child(row.name)), text(row.id, row.defaultText));
    auto* combo = child<QComboBox>("cbx_lang");
    QCOMPARE(combo->itemText(0), text(1000, "Chinese (Simplified)"));
    QCOMPARE(combo->itemText(1), text(1001, "Chinese (Traditional)"));
    QCOMPARE(combo->itemText(2), text(1002, "English"));
    if (!withFiles) {
        QCOMPARE(combo->itemText(0), QString("Chinese (Simplified)"));
        QCOMPARE(child<QPushButton>("btn_ViewCert")->text(), QString("View"));
    }
    auto* devModel = qobject_cast<QStandardItemModel*>(child<QTreeView>("treeView_Dev")->model());
    QVERIFY(devModel->horizontalHeaderItem(0));
    QCOMPARE(devModel->horizontalHeaderItem(0)->text(), text(30002, "DevList"));

    // Fixed texts, and texts a switch leaves alone.
    QCOMPARE(m_window->windowTitle(), QString::fromUtf8(kTitle));
    QCOMPARE(child<QLabel>("label_about")->text(), QString::fromUtf8("网上银行USB Key管理工具"));
    QVERIFY(child<QLabel>("label_bottom")->text().isEmpty());
    QCOMPARE(child<QLabel>("label_version")->text(), QString::fromUtf8(m_window->versionText()));
    QCOMPARE(child<QPushButton>("btn_clearEmptyCtn")->text(), QString::fromUtf8("清理垃圾文件"));
    QCOMPARE(child<QPushButton>("btn_systemOp")->text(), QString::fromUtf8("系统选项"));
    QCOMPARE(child<QPushButton>("btn_ImpCert")->text(), QString("Import"));
    QCOMPARE(child<QTabWidget>("tabWidget_2")->tabText(3), QString("verify PIN"));
    // Every other label and button with a text follows the language: in English none keeps Chinese, in
    // Chinese none keeps English.
    const QStringList fixed = langID == 1033
                                  ? QStringList{"label",         "label_2",           "label_3",     "label_about",
                                                "label_version", "btn_clearEmptyCtn", "btn_systemOp"}
                                  : QStringList{"btn_ImpCert", "btn_Keyinfo"};
    for (QWidget* widget : m_window->findChildren<QWidget*>()) {
        const QString shown = textOf(widget);
        const bool chinese = std::any_of(shown.begin(), shown.end(), [](QChar c) { return c.unicode() >= 0x3000; });
        if (withFiles && langID != 1028 && !shown.isEmpty() && shown != "<no text>")
            QVERIFY2(chinese == (langID == 2052) || fixed.contains(widget->objectName()),
                     qPrintable(widget->objectName() + ": " + shown));
    }
}

void TestMainWindow::indexOutsideTheListIsIgnored_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("cleared list") << -1;
    QTest::newRow("past the end") << 3;
    QTest::newRow("far out") << 1000;
}

void TestMainWindow::indexOutsideTheListIsIgnored()
{
    QFETCH(int, index);
    m_window->chooseLangByIndex(1);
    QString before = child<QLabel>("lab_oldPIN")->text();
    m_window->chooseLangByIndex(index);
    QCOMPARE(m_window->langID(), 1028);
    QCOMPARE(child<QLabel>("lab_oldPIN")->text(), before);
    m_window->chooseLangByIndex(0);
}

void TestMainWindow::languageListIsConnected()
{
    auto* combo = child<QComboBox>("cbx_lang");
    combo->setCurrentIndex(1);
    QCOMPARE(m_window->langID(), 1028);
    combo->setCurrentIndex(0);
    QCOMPARE(m_window->langID(), 2052);
}

void TestMainWindow::libraryNotice_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("Simplified Chinese") << 0;
    QTest::newRow("Traditional Chinese") << 1;
    QTest::newRow("English") << 2;
}

// Where the tree is and in the tray's tool tip: the library's path and that the driver is needed.
void TestMainWindow::libraryNotice()
{
    QFETCH(int, index);
    QTRY_VERIFY_WITH_TIMEOUT(m_window->startupDone(), 20000);
    MainWindow::setLanguageDir(sourceLangDir());
    m_window->chooseLangByIndex(index);
    MainWindow::setLanguageDir(KEYMGR_LANG_DIR);
    auto text = [](unsigned long id) { return QString::fromStdString(__(id, "")); };
    const QString path = QString::fromStdString(cDevMgr::skfLibraryPath());
    auto* notice = child<QLabel>("label_skfNotice");
    const QString shown = notice->text().remove(QChar(0x200B));
    QCOMPARE(shown, QStringList({text(33000), path, text(33002)}).join('\n'));
    QCOMPARE(m_window->trayIcon()->toolTip(), QString::fromUtf8(kTitle) + '\n' + shown);
    QVERIFY(notice->isVisibleTo(m_window));
    QVERIFY(!notice->geometry().intersects(child<QTreeView>("treeView_Dev")->geometry()));
    // A library that loads without functions the program needs names them; a whole one says nothing.
    QCOMPARE(skfLibraryNotice(path, true, {"SKF_VerifyPIN", "SKF_ChangePIN"}),
             QStringList({text(33001), path, "SKF_VerifyPIN, SKF_ChangePIN", text(33002)}).join('\n'));
    QVERIFY(skfLibraryNotice(path, true, {}).isEmpty());
}

void TestMainWindow::closeOnlyHides()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QVERIFY(!m_window->close());
    QVERIFY(!m_window->isVisible());
    QVERIFY(m_window->trayIcon()->isVisible());
}

void TestMainWindow::lookAfterFirstShow_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<QSize>("picture");
    QTest::newRow("tab bar width") << "tabWidget" << "QTabBar::tab{width:130};" << QSize();
    QTest::newRow("two-line sheet") << "treeView_usbInfo"
                                    << "QTreeView::item{margin:2px;}\nborder: 1px solid rgb(208, 208, 208);" << QSize();
    QTest::newRow("sheet ending in U+3000") << "line_16" << QString::fromUtf8("border:2px solid rgb(208, 208, 208);　")
                                            << QSize();
    QTest::newRow("logo picture") << "label_logo" << QString() << QSize(200, 60);
    QTest::newRow("page icon") << "lab_cert" << QString() << QSize(32, 32);
}

// What a window left in the tray does without is all there once it has been shown.
void TestMainWindow::lookAfterFirstShow()
{
    QFETCH(QString, name);
    QFETCH(QString, styleSheet);
    QFETCH(QSize, picture);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    auto* tree = child<QTreeView>("treeView_Dev");
    QVERIFY(!tree->isHeaderHidden());
    // The rows start below the header, not under it.
    QVERIFY(tree->header()->geometry().bottom() < tree->viewport()->geometry().top());
    auto* devices = qobject_cast<QStandardItemModel*>(tree->model());
    devices->appendRow(new QStandardItem(QStringLiteral("ROW")));
    const int rowHeight = tree->sizeHintForRow(0);
    devices->removeRow(0);
    QVERIFY(rowHeight > 0);
    QVERIFY(!m_window->windowIcon().pixmap(32).isNull());
    QWidget* widget = child(qPrintable(name));
    if (!styleSheet.isNull())
        QCOMPARE(widget->styleSheet(), styleSheet);
    if (picture.isValid()) {
        auto* label = qobject_cast<QLabel*>(widget);
        QVERIFY(label);
        QCOMPARE(label->pixmap(Qt::ReturnByValue).size(), picture);
    }
    m_window->hide();
}

void TestMainWindow::trayIconAndMenu()
{
    QSystemTrayIcon* tray = m_window->trayIcon();
    QVERIFY(tray);
    QCOMPARE(tray->parent(), m_window);
    QVERIFY(tray->toolTip().startsWith(QString::fromUtf8(kTitle)));
    QVERIFY(!tray->icon().isNull());
    QCOMPARE(tray->contextMenu(), m_window->trayMenu());
    QList<QAction*> actions = m_window->trayMenu()->actions();
    QCOMPARE(actions.size(), 3);
    QCOMPARE(actions[0]->text(), QString::fromUtf8("显示主界面"));
    QVERIFY(actions[1]->isSeparator());
    QCOMPARE(actions[2]->text(), QString::fromUtf8("退出"));
}

void TestMainWindow::trayActivation_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<bool>("message");
    QTest::newRow("single click") << int(QSystemTrayIcon::Trigger) << true << true;
    QTest::newRow("double click") << int(QSystemTrayIcon::DoubleClick) << true << false;
    QTest::newRow("context menu") << int(QSystemTrayIcon::Context) << false << false;
    QTest::newRow("middle click") << int(QSystemTrayIcon::MiddleClick) << false << false;
}

void TestMainWindow::trayActivation()
{
    QFETCH(int, reason);
    QFETCH(bool, shown);
    QFETCH(bool, message);
    m_window->hide();
    m_trayMessages.clear();
    emit m_window->trayIcon()->activated(QSystemTrayIcon::ActivationReason(reason));
    QCOMPARE(m_window->isVisible(), shown);
    if (message) {
        QCOMPARE(m_trayMessages.size(), 1);
        QString title = QString::fromStdString(__(32046, "Title"));
        QCOMPARE(m_trayMessages[0],
                 (QStringList {title, QString::fromUtf8("网上银行USB Key管理工具"), QString("1000")}));
    } else {
        QVERIFY(m_trayMessages.isEmpty());
    }
    m_window->hide();
}

void TestMainWindow::trayMenuActions()
{
    QList<QAction*> actions = m_window->trayMenu()->actions();
    m_window->hide();
    actions[0]->trigger();
    QVERIFY(m_window->isVisible());

    // Exit asks the program to end; main ends it.
    QSignalSpy quit(m_window, &MainWindow::quitRequested);
    actions[2]->trigger();
    QCOMPARE(quit.count(), 1);
    m_window->hide();
}

void TestMainWindow::resetSettings()
{
    QVERIFY(writeFile(m_window->configPath(), QByteArray("{\"openURL\": true, \"URL\": \"") + kBankWebAddress + "\"}"));
    m_window->loadConfigFile();
    QVERIFY(m_window->isOpenURL());
    QCOMPARE(m_window->getURL(), QString::fromUtf8(kBankWebAddress));
}

void TestMainWindow::settingsFile_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("openURL");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("opened");
    const QString bank = QString::fromUtf8(kBankWebAddress);

    QTest::newRow("no file") << false << QByteArray() << true << bank << bank;
    QTest::newRow("openURL false") << true << QByteArray(R"({"openURL": false})") << false << bank << bank;
    QTest::newRow("openURL as a string") << true << QByteArray(R"({"openURL": "false"})") << true << bank << bank;
    QTest::newRow("openURL as a number") << true << QByteArray(R"({"openURL": 0})") << true << bank << bank;
    QTest::newRow("own address") << true << QByteArray(R"({"URL": "https://mine.example/"})") << true
                                 << "https://mine.example/" << "https://mine.example/";
    QTest::newRow("empty address") << true << QByteArray(R"({"URL": ""})") << true << QString("") << bank;
    QTest::newRow("address as a number") << true << QByteArray(R"({"URL": 42})") << true << bank << bank;
    QTest::newRow("malformed") << true << QByteArray(R"({"openURL": false, "URL": )") << true << bank << bank;
    QTest::newRow("top level array") << true << QByteArray(R"([false])") << true << bank << bank;
}

void TestMainWindow::settingsFile()
{
    QFETCH(bool, fileExists);
    QFETCH(QByteArray, content);
    QFETCH(bool, openURL);
    QFETCH(QString, url);
    QFETCH(QString, opened);
    QCOMPARE(m_window->configPath(),
             QDir::homePath() + "/.config/com.lumeno.tesselkey-norvik/.cfg");
    resetSettings();
    if (fileExists)
        QVERIFY(writeFile(m_window->configPath(), content));
    else
        QVERIFY(QFile::remove(m_window->configPath()));
    m_window->loadConfigFile();
    QCOMPARE(m_window->isOpenURL(), openURL);
    QCOMPARE(m_window->getURL(), url);
    QCOMPARE(m_window->webAddressToOpen(), opened);
}

void TestMainWindow::systemOptionsCreatesDirectoryWithBothKeys()
{
    resetSettings();
    QString folder = QFileInfo(m_window->configPath()).absolutePath();
    QVERIFY(QDir(folder).removeRecursively());
    mode_t old = umask(0);
    ModalDriver driver;
    driver.type("lineEdit_html", "https://branch.example/")
        .inspect([](QWidget* dialog) { dialog->findChild<QRadioButton*>("noOpenHtml")->click(); })
        .click("btn_ok");
    child<QPushButton>("btn_systemOp")->click();
    umask(old);
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(driver.lastSeen().className, QString("SystemOptions"));
    QCOMPARE(driver.lastSeen().windowTitle, QString::fromStdString(__(32059, "系统选项")));
    QCOMPARE(driver.lastSeen().buttonCaptions.value("btn_ok"), QString::fromStdString(__(30080, "continue")));
    QCOMPARE(driver.lastSeen().buttonCaptions.value("btn_cancel"), QString::fromStdString(__(30081, "cancel")));

    QVERIFY(!m_window->isOpenURL());
    QCOMPARE(m_window->getURL(), QString("https://branch.example/"));
    QFile file(m_window->configPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonObject written = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(written.value("URL").toString(), QString("https://branch.example/"));
    QVERIFY(written.value("openURL").isBool());
    QCOMPARE(written.value("openURL").toBool(true), false);
    QCOMPARE(modeOf(folder), mode_t(0700));
    QCOMPARE(modeOf(m_window->configPath()), mode_t(0600));
}

void TestMainWindow::systemOptionsKeepsOtherKeys()
{
    resetSettings();
    const QByteArray handWritten = R"({"openURL": false, "theme": "dark", "proxy": {"port": 8080}})";
    QVERIFY(writeFile(m_window->configPath(), handWritten));
    m_window->loadConfigFile();
    ModalDriver driver;
    driver.inspect([](QWidget* dialog) {
              // The dialog opens on the window's current settings.
              QVERIFY(dialog->findChild<QRadioButton*>("noOpenHtml")->isChecked());
              QCOMPARE(dialog->findChild<QLineEdit*>("lineEdit_html")->text(), QString::fromUtf8(kBankWebAddress));
              dialog->findChild<QRadioButton*>("openHtml")->click();
          })
        .click("btn_ok");
    child<QPushButton>("btn_systemOp")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QFile file(m_window->configPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QJsonObject written = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(written.value("theme").toString(), QString("dark"));
    QCOMPARE(written.value("proxy").toObject().value("port").toInt(), 8080);
    QCOMPARE(written.value("openURL").toBool(false), true);
    QCOMPARE(written.value("URL").toString(), QString::fromUtf8(kBankWebAddress));
}

void TestMainWindow::systemOptionsEmptyAddressRefused()
{
    resetSettings();
    QByteArray before;
    {
        QFile file(m_window->configPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        before = file.readAll();
    }
    ModalDriver driver;
    driver.type("lineEdit_html", "").click("btn_ok");
    driver.click("btn_cancel");
    child<QPushButton>("btn_systemOp")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(driver.doneSteps(), 2);
    // The second step found the same dialog still open, now with the hint.
    QCOMPARE(driver.lastSeen().labels.value("msg"), QString::fromStdString(__(32060, "请输入网址")));
    QVERIFY(m_window->isOpenURL());
    QCOMPARE(m_window->getURL(), QString::fromUtf8(kBankWebAddress));
    QFile file(m_window->configPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
}

void TestMainWindow::systemOptionsCancelChangesNothing()
{
    resetSettings();
    ModalDriver driver;
    driver.type("lineEdit_html", "https://other.example/").click("btn_cancel");
    child<QPushButton>("btn_systemOp")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QVERIFY(m_window->isOpenURL());
    QCOMPARE(m_window->getURL(), QString::fromUtf8(kBankWebAddress));
}

void TestMainWindow::systemOptionsUnwritableDirectory()
{
    resetSettings();
    QString folder = QFileInfo(m_window->configPath()).absolutePath();
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(writeFile(folder, "a file where the folder should be"));
    ModalDriver driver;
    driver.type("lineEdit_html", "https://kept.example/").click("btn_ok");
    child<QPushButton>("btn_systemOp")->click();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    // Not saved, but in force for this run.
    QCOMPARE(m_window->getURL(), QString("https://kept.example/"));
    QVERIFY(QFileInfo(folder).isFile());
    QVERIFY(QFile::remove(folder));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
