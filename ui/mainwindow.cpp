#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "JsonConfig.h"
#include "SystemOptions.h"
#include "busycursor.h"
#include "cMonitor.h"
#include "keymgr_config.h"
#include "mgrversion.h"
#include "multilang.h"
#include "myMessageBox.h"
#include "windowconstants.h"

#include <QCloseEvent>
#include <QIcon>
#include <QIconEngine>
#include <QImageReader>
#include <QItemSelectionModel>
#include <QPixmap>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QThread>

#include <cstring>

const char kBankWebAddress[] = "https://ebank.lumeno.example/";

namespace {
constexpr unsigned long kMonitorStopMs = 3000;

// The standard delegate, except that rows have no size until the window is first shown: a view
// lays itself out on a timer even while hidden, and sizing a row shapes its text, which loads the
// text shaper and the row's fonts for a list nobody has looked at. The view keeps no height of 0,
// so every row is measured for real once the window is on screen.
class UnshownRowsDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void setShown() { m_shown = true; }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return m_shown ? QStyledItemDelegate::sizeHint(option, index) : QSize();
    }

private:
    bool m_shown = false;
};

// Reads a PNG of the resources with Qt's own reader. Left to find the reader by the file's
// content, Qt loads every image plugin to ask it, and loading a library waits while the monitor
// thread is inside the SKF library's dlopen, however long that library takes to start.
QPixmap resourcePng(const QString& path)
{
    QImageReader reader(path, "png");
    reader.setAutoDetectImageFormat(false);
    return QPixmap::fromImage(reader.read());
}

// An icon read from its file the first time it is drawn or measured: the window has its icon from
// the start, but one that stays in the tray never decodes it, nor loads every image plugin to ask
// which one reads the file.
class FileIconEngine : public QIconEngine
{
public:
    explicit FileIconEngine(const QString& path) : m_path(path) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override
    {
        icon().paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().actualSize(size, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        return icon().pixmap(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) const override
    {
        return icon().availableSizes(mode, state);
    }
    QIconEngine* clone() const override { return new FileIconEngine(m_path); }
    QString key() const override { return QStringLiteral("FileIconEngine"); }

private:
    const QIcon& icon() const
    {
        if (m_icon.isNull())
            m_icon = QIcon(resourcePng(m_path));
        return m_icon;
    }

    QString m_path;
    mutable QIcon m_icon;
};

QString& languageDirSetting()
{
    static QString dir = QString::fromUtf8(KEYMGR_LANG_DIR);
    return dir;
}
}

void MainWindow::setLanguageDir(const QString& dir)
{
    languageDirSetting() = dir;
}

QString MainWindow::languageDir()
{
    return languageDirSetting();
}

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    busycursor::install();
    ui = new Ui_MainWindow;
    memset(m_version, 0, sizeof m_version);
    memset(m_version2, 0, sizeof m_version2);
    getMgrVersion(m_version, m_version2);
    ui->setupUi(this);
    setWindowIcon(QIcon(new FileIconEngine(QStringLiteral(":/logo.png"))));
    // Read before the monitor thread starts: the icon needs the image plugin for .ico files, and no
    // library can be loaded while that thread is inside the SKF library's dlopen.
    const QIcon trayIcon(QStringLiteral(":/mgr_op.ico"));

    m_openURL = true;
    m_url = QString::fromUtf8(kBankWebAddress);
    initConfig();
    loadConfigFile();

    ui->tabWidget->tabBar()->hide();
    ui->tabWidget_2->tabBar()->hide();
    ui->tabWidget_2->setAttribute(Qt::WA_TranslucentBackground);
    ui->tabWidget->setCurrentIndex(mainwin::kPageToken);
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageMain);

    for (QPushButton* hidden : {ui->btn_ChangeAuthKey, ui->btn_UnblockPIN, ui->btn_Initialize}) {
        hidden->setEnabled(false);
        hidden->hide();
    }
    for (QPushButton* button : {ui->btn_clearEmptyCtn, ui->btn_ChangeLabel, ui->btn_VerifyPIN, ui->btn_ChangePIN,
                                ui->btn_VerifyPIN_OK, ui->btn_ChangPIN_OK, ui->btn_ImpCert, ui->btn_ExpCert,
                                ui->btn_DelCtn, ui->btn_ChangeLab_OK, ui->btn_ChangAuthKey_OK, ui->btn_UnblockPIN_OK,
                                ui->btn_Initialize_OK})
        button->setEnabled(false);

    m_monitor = new cMonitor();
    m_msgBox = new myMessageBox();

    m_ctnModel = new QStandardItemModel(ui->treeView);
    m_devModel = new QStandardItemModel(ui->treeView_Dev);
    m_infoModel = new QStandardItemModel(ui->treeView_usbInfo);
    memset(m_appName, 0, sizeof m_appName);

    m_devModel->setHorizontalHeaderLabels(QStringList() << QStringLiteral("DevList"));
    ui->treeView_Dev->setModel(m_devModel);
    // The view lays itself out on a timer even while hidden, and its header's size hint then
    // loads the bold and CJK fonts of "DevList" in every language: the header and the rows'
    // sizes wait for the first show.
    ui->treeView_Dev->setHeaderHidden(true);
    ui->treeView_Dev->setItemDelegate(new UnshownRowsDelegate(ui->treeView_Dev));

    ui->btn_Keyinfo->setEnabled(false);
    ui->btn_Keyinfo->hide();
    ui->btn_ImpCert->hide();
    ui->btn_ChangeLabel->hide();

    connect(ui->btn_logo, &QPushButton::clicked, this, &MainWindow::btn_Logo);
    connect(ui->treeView_Dev, &QTreeView::clicked, this, &MainWindow::Dev_App_selected);
    // The device model is the view's for good, and so is this selection model.
    connect(ui->treeView_Dev->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &MainWindow::chooseCurrentRow);
    connect(ui->treeView, &QTreeView::doubleClicked, this, &MainWindow::Ctn_selected);
    connect(ui->btn_DelCtn, &QPushButton::clicked, this, &MainWindow::btn_deleteCtn);
    connect(ui->btn_ImpCert, &QPushButton::clicked, this, &MainWindow::btn_importCert);
    connect(ui->btn_ExpCert, &QPushButton::clicked, this, &MainWindow::btn_exportCert);
    connect(ui->btn_ViewCert, &QPushButton::clicked, this, &MainWindow::btn_viewCert);
    connect(ui->btn_Keyinfo, &QPushButton::clicked, this, &MainWindow::btn_keyinfo);
    connect(ui->btn_ChangeLabel, &QPushButton::clicked, this, &MainWindow::btn_changeLabel);
    connect(ui->btn_VerifyPIN, &QPushButton::clicked, this, &MainWindow::btn_verifyPin);
    connect(ui->btn_ChangePIN, &QPushButton::clicked, this, &MainWindow::btn_changePin);
    connect(ui->NewLabelEdit, &QLineEdit::textChanged, this, &MainWindow::tab1_newName_Valuechange);
    connect(ui->VerifyPIN_Edit, &QLineEdit::textChanged, this, &MainWindow::tab1_PIN_Valuechange);
    connect(ui->NewPIN_Edit, &QLineEdit::textChanged, this, &MainWindow::tab1_NewPIN_Valuechange);
    connect(ui->OldPIN_Edit, &QLineEdit::textChanged, this, &MainWindow::tab1_OldPIN_Valuechange);
    connect(ui->ConfirmPIN_Edit, &QLineEdit::textChanged, this, &MainWindow::tab1_ConfirmPIN_Valuechange);
    connect(ui->btn_ChangeLab_OK, &QPushButton::clicked, this, &MainWindow::btn_changelabe_ok);
    connect(ui->btn_VerifyPIN_OK, &QPushButton::clicked, this, &MainWindow::btn_verifyPIN_ok);
    connect(ui->btn_ChangPIN_OK, &QPushButton::clicked, this, &MainWindow::btn_changePIN_ok);
    for (QLineEdit* edit : {ui->SOPIN_Edit, ui->UserPIN_Edit, ui->ConfirmUserPIN_Edit})
        connect(edit, &QLineEdit::textChanged, this, &MainWindow::UnBlockPIN_Valuechange);
    for (QLineEdit* edit : {ui->OldAuthKey_Edit, ui->NewAuthKey_Edit, ui->ConfirmAuthKey_Edit})
        connect(edit, &QLineEdit::textChanged, this, &MainWindow::ChangeDevAuthKey_Valuechange);
    for (QLineEdit* edit :
         {ui->Init_DevAuthKey_Edit, ui->Init_LabelName_Edit, ui->Init_NewSOPIN_Edit, ui->Init_NewUserPIN_Edit})
        connect(edit, &QLineEdit::textChanged, this, &MainWindow::Initialize_Valuechange);
    connect(ui->chb_devAuthkey, &QCheckBox::clicked, this, &MainWindow::Initialize_Valuechange);
    ui->chb_devAuthkey->setChecked(true);
    ui->Init_DevAuthKey_Edit->setEnabled(false);
    // Each event arrives with its own code and device name, queued on this thread.
    connect(m_monitor, &cMonitor::tokenEvent, this, &MainWindow::onTokenEvent);
    connect(m_monitor, &cMonitor::libraryReady, this, &MainWindow::onLibraryReady);

    m_langID = wx_getSysLanguage();
    ui->cbx_lang->addItem(QIcon(), tr(__(1000, "Chinese (Simplified)").c_str()), QVariant());
    ui->cbx_lang->addItem(QIcon(), tr(__(1001, "Chinese (Traditional)").c_str()), QVariant());
    ui->cbx_lang->addItem(QIcon(), tr(__(1002, "English").c_str()), QVariant());
    ui->cbx_lang->hide();
    ui->label_2->setText(QString::fromUtf8(m_version));
    ui->label_version->setText(QString::fromUtf8(m_version));
    if (m_langID == 2052)
        ui->cbx_lang->setCurrentIndex(0);
    else if (m_langID == 1028)
        ui->cbx_lang->setCurrentIndex(1);
    else
        ui->cbx_lang->setCurrentIndex(2);
    m_monitor->start(QThread::InheritPriority);
    connect(ui->cbx_lang, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &MainWindow::chooseLangByIndex);

    m_sysTrayIcon = new QSystemTrayIcon(this);
    m_sysTrayIcon->setIcon(trayIcon);
    m_sysTrayIcon->setToolTip(QString::fromUtf8("Norvik银行国密Key管理工具"));
    connect(m_sysTrayIcon, &QSystemTrayIcon::activated, this, &MainWindow::on_activatedSysTrayIcon);
    createActions();
    createMenu();
    m_sysTrayIcon->show();

    // The window starts in the first language. The first listing of the tokens, and any prompt
    // it brings, follows once the monitor reports the library loaded, so it speaks that language.
    if (selectLanguage(0))
        updateUIlangFirst();
}

MainWindow::~MainWindow()
{
    // The program's end: no login is left behind on a token.
    endVerifiedSession();
    // The monitor waits inside the SKF library: its wait is cancelled and the thread ends before
    // the window goes. One the library never lets go of is left to the process's end.
    if (m_monitor && m_monitor->stop(kMonitorStopMs))
        delete m_monitor;
    delete m_msgBox;
    delete ui;
    delete m_config;
}

void MainWindow::btn_Logo()
{
    ui->tabWidget->setCurrentIndex(mainwin::kPageAbout);
}

// Stays because the window's published slot list names it, though nothing sends to it: it only
// records the id; chooseLangByIndex switches the language.
void MainWindow::setLangID(int id)
{
    m_langID = id;
}

void MainWindow::showEvent(QShowEvent* event)
{
    completeLook();
    QMainWindow::showEvent(event);
}

void MainWindow::completeLook()
{
    if (m_lookComplete)
        return;
    m_lookComplete = true;
    if (auto* rows = dynamic_cast<UnshownRowsDelegate*>(ui->treeView_Dev->itemDelegate()))
        rows->setShown();
    ui->treeView_Dev->setHeaderHidden(false);
    ui->treeView_Dev->doItemsLayout();

    // Style sheets and pictures of the form: set by the first show, so that a window that stays
    // in the tray parses no style sheet and decodes no picture.
    const struct {
        QWidget* widget;
        const char* sheet;
    } sheets[] = {
        {ui->tabWidget, "QTabBar::tab{width:130};"},
        {ui->tabWidget_2, "QTabBar::tab{width:0px;height:0px};"},
        {ui->treeView_usbInfo, "QTreeView::item{margin:2px;}\nborder: 1px solid rgb(208, 208, 208);"},
        {ui->treeView, "QTreeView::item{margin:2px;}"},
        {ui->btn_logo, "border-radius:0px;"},
        // The text ends in an ideographic space (U+3000), as the form always had it.
        {ui->line_16, "border:2px solid rgb(208, 208, 208);\u3000"},
    };
    for (const auto& entry : sheets)
        entry.widget->setStyleSheet(QString::fromUtf8(entry.sheet));
    const struct {
        QLabel* label;
        const char* picture;
    } pictures[] = {
        {ui->lab_changlabel_2, ":/infousb.png"}, {ui->lab_changlabel, ":/edit.png"},
        {ui->lab_VerifyPIN, ":/pwd.png"},        {ui->lab_changePIN, ":/pwd.png"},
        {ui->lab_changeAuthKey_2, ":/pwd.png"},  {ui->lab_Initialize_3, ":/pwd.png"},
        {ui->lab_UnblockPIN_3, ":/unlock.png"},  {ui->lab_cert, ":/cert3.png"},
        {ui->label_logo, ":/nvlog.png"},
    };
    for (const auto& entry : pictures)
        entry.label->setPixmap(resourcePng(QString::fromLatin1(entry.picture)));
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // Closed to the tray: export and delete are out of reach, so the login that allowed them ends.
    endVerifiedSession();
    event->ignore();
    hide();
}

int MainWindow::initConfig()
{
    m_configPath = QStandardPaths::writableLocation(QStandardPaths::HomeLocation) +
                   QStringLiteral("/.config/com.lumeno.tesselkey-norvik/.cfg");
    m_config = new JsonConfig(m_configPath);
    return 1;
}

void MainWindow::loadConfigFile()
{
    if (!m_config || !m_config->load())
        return;
    QJsonValue open = m_config->getField(QStringLiteral("openURL"));
    if (open.isBool())
        m_openURL = open.toBool();
    QJsonValue url = m_config->getField(QStringLiteral("URL"));
    if (url.isString())
        m_url = url.toString();
}

void MainWindow::on_btn_systemOp_clicked()
{
    SystemOptions dialog;
    dialog.setURL(m_url.isEmpty() ? QString::fromUtf8(kBankWebAddress) : m_url);
    dialog.setIsOpenURL(m_openURL);
    if (dialog.exec() != 1)
        return;
    m_openURL = dialog.getIsOpenURL();
    m_url = dialog.getURL();
    if (m_config) {
        m_config->updateField(QStringLiteral("URL"), m_url);
        m_config->updateField(QStringLiteral("openURL"), m_openURL);
        m_config->save();
    }
}
