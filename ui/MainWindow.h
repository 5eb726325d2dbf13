#ifndef KEYMGR_MAINWINDOW_H
#define KEYMGR_MAINWINDOW_H

#include <QHash>
#include <QMainWindow>
#include <QMap>
#include <QList>
#include <QModelIndex>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>

#include <functional>
#include <string>

#include "skf_defs.h"
#include "tokenchoice.h"

class QAction;
class QCloseEvent;
class QLabel;
class QMenu;
class QStandardItemModel;
class Ui_MainWindow;
class cMonitor;
class myMessageBox;
class JsonConfig;

// The bank's web-banking address, opened on insertion when the settings name none.
extern const char kBankWebAddress[];

// "RSA" for container type 1, "ECC" for 2, "Empty" for anything else.
QString getCtnType(int type);

// What the user is told when the SKF library at path did not load, or loaded without some of the
// functions the program needs (missing): empty when there is nothing to tell.
QString skfLibraryNotice(const QString& path, bool loaded, const QStringList& missing);

// The program's only window: device tree on the left, a stack of pages on the right, and the
// tray icon. Its slots are spread over mainwindow_*.cpp by concern.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Tray menu and settings.
    void createActions();
    void createMenu();
    bool isOpenURL();
    QString getURL();
    // The configured address, or kBankWebAddress when that is empty.
    QString webAddressToOpen();
    int initConfig();
    void loadConfigFile();

    // Warns about the first readable certificate of the inserted token when it expires soon.
    void certIsValid();
    // Tells the user about a certificate with secondsLeft seconds left, when it expires soon.
    void showExpiryNotice(long secondsLeft);
    // Opens the container of the certificate tree's current row (purpose 1 export, 2 view). The
    // actions themselves open what they chose through their TokenChoice.
    void openCurrentNodeCTN(int purpose);
    // Writes the certificate to the viewer's temporary file and starts the viewer.
    void viewCertificate(bool sign);
    // Lists every present token into the device model again: at start-up, at a language switch and for
    // a token event the tree cannot place.
    void rebuildDevTree();

    // Every tray balloon goes through here so that the observer (tests) sees it too.
    void showTrayMessage(const QString& title, const QString& text, int msecs);
    using TrayMessageObserver = std::function<void(const QString& title, const QString& text, int msecs)>;
    void setTrayMessageObserver(TrayMessageObserver observer);

    // Directory of the language files; the built-in one unless changed (tests) before a switch.
    static void setLanguageDir(const QString& dir);
    static QString languageDir();

    // Read-only views for tests and helpers.
    int langID() const { return m_langID; }
    const char* localeName() const { return m_localeName; }
    const char* appName() const { return m_appName; }
    // The token chosen on the pages (empty after a token event or a failed choice).
    const TokenChoice& chosenToken() const { return m_choice; }
    // The first listing of the tokens has run (it waits for the SKF library to load).
    bool startupDone() const { return m_startupDone; }
    const char* versionText() const { return m_version; }
    const char* ownershipText() const { return m_version2; }
    const QMap<QString, Struct_ContainerInfo>& containerMap() const { return m_ctnMap; }
    myMessageBox* messageBox() const { return m_msgBox; }
    QSystemTrayIcon* trayIcon() const { return m_sysTrayIcon; }
    QMenu* trayMenu() const { return m_trayMenu; }
    JsonConfig* config() const { return m_config; }
    QString configPath() const { return m_configPath; }

signals:
    // The tray menu's exit: the program is asked to end.
    void quitRequested();

public slots:
    void updateUIlang();
    void updateUIlangFirst();
    void chooseLangByIndex(int index);
    void slotEventChange();
    void onTokenEvent(quint32 event, const QByteArray& device);
    void onLibraryReady(bool loaded);
    void myListenEventChange();
    void chooseDev(QString devName);
    void chooseApp(QString devName);
    void btn_Logo();
    void Dev_App_selected_noindex();
    void Dev_App_selected(QModelIndex index);
    void Ctn_selected(QModelIndex index);
    void btn_deleteCtn();
    void btn_importCert();
    void btn_exportCert();
    void btn_viewCert();
    void btn_keyinfo();
    void btn_changeLabel();
    void btn_verifyPin();
    void btn_changePin();
    void tab1_newName_Valuechange();
    void tab1_PIN_Valuechange();
    void tab1_OldPIN_Valuechange();
    void tab1_NewPIN_Valuechange();
    void tab1_ConfirmPIN_Valuechange();
    void NewLabelEdit_Valuechange();
    void UnBlockPIN_Valuechange();
    void ChangeDevAuthKey_Valuechange();
    void Initialize_Valuechange();
    void btn_changelabe_ok();
    void btn_verifyPIN_ok();
    void btn_changePIN_ok();
    void setLangID(int id);

private slots:
    void on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void on_showMainAction();
    void on_exitAppAction();
    void on_btn_systemOp_clicked();
    void on_btn_clearEmptyCtn_clicked();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QSystemTrayIcon* m_sysTrayIcon = nullptr;
    QMenu* m_trayMenu = nullptr;
    QAction* m_showMainAction = nullptr;
    QAction* m_exitAppAction = nullptr;
    cMonitor* m_monitor = nullptr;
    // Container label -> its record, rebuilt with the certificate page; the actions name their
    // container in their TokenChoice instead, so only readers of containerMap() use it.
    QMap<QString, Struct_ContainerInfo> m_ctnMap;
    char m_appName[128] = {};
    QStandardItemModel* m_ctnModel = nullptr;
    QStandardItemModel* m_devModel = nullptr;
    QStandardItemModel* m_infoModel = nullptr;
    myMessageBox* m_msgBox = nullptr;
    JsonConfig* m_config = nullptr;
    QString m_configPath;
    QString m_url;
    bool m_openURL = true;
    Ui_MainWindow* ui = nullptr;
    int m_langID = 2052;
    char m_localeName[20] = {};
    char m_version[128] = {};
    char m_version2[128] = {};
    TrayMessageObserver m_trayObserver;
    // What only a window on screen needs is put in place by its first show.
    void completeLook();
    bool m_lookComplete = false;

    struct TokenEvent
    {
        quint32 code = 0; // 0 for a run that only lists the tokens
        QByteArray device;
        // Changes the rows of its device alone when the tree can place it; else lists every token.
        bool incremental = false;
    };
    void queueTokenEvent(const TokenEvent& event);
    // Handles the queued events one by one, then the forced PIN changes no dialog holds back.
    void runTokenWork();
    void handleTokenEvent(const TokenEvent& event);
    // The row an insertion goes to or a removal takes away, when the device list the library gives
    // now is the tree's with that one change; -1 when the tree cannot place the event.
    int placeTokenEvent(const TokenEvent& event);
    // Reads the inserted device alone (its rows, default PIN and expiry check) into row at.
    void insertDeviceRow(const std::string& device, int at);
    // Drops the removed device's rows, and the choice when it is on that device.
    void removeDeviceRow(const std::string& device, int at);
    // Resets the pages and buttons and ends the choice and the verified login, as a token gone does.
    void letGoOfChosenToken();
    // Forces the change of a default user PIN now, or once the dialog showing is closed.
    void offerPinChange(const TokenChoice& choice);
    void waitForClose(QWidget* dialog);
    // Empties the selection and the pages that show it.
    void forgetChosenToken();
    // Empties every PIN and key field of the token pages, overwriting what they held.
    void clearPinEdits();
    // Rebuilds the certificate page after a change made on choice's token, while it still shows it.
    void refreshCertificatePage(const TokenChoice& choice, bool changed);
    // Sets the language id and locale of list entry index; false for an index that is none.
    bool selectLanguage(int index);

    // A run of runTokenWork is in progress (it may wait in a modal dialog).
    bool m_inEventChange = false;
    bool m_startupDone = false;
    QList<TokenEvent> m_pendingEvents;
    TokenEvent m_lastEvent;
    QList<TokenChoice> m_pendingPinChanges;
    QPointer<QWidget> m_waitingOn;
    TokenChoice m_choice;
    // The first application of each device the device tree lists ("" for none), so that a
    // click does not ask the token again.
    QHash<QByteArray, std::string> m_knownApps;
    // The device and application whose user PIN the verify page verified; empty when none is.
    TokenChoice m_verified;
    // Fills the information page (the PIN rows only when withPins) and chooses the device, named by
    // its bytes, and its application; true when that application is open. The handles stay open
    // for the caller, who closes them.
    bool showDevice(const std::string& device, bool withPins);
    // The device tree's current row changed: the arrow keys choose as a click does.
    void chooseCurrentRow(const QModelIndex& current);
    // chooseDev and chooseApp for a device named by its bytes.
    void chooseDevice(const std::string& device);
    void showApplication(const std::string& device);
    // The bytes of the device a text names: the device-tree row showing that text, else a device
    // the library lists whose name shows so; empty when none does.
    std::string deviceNamed(const QString& text) const;
    // Logs the verified application out (SKF_ClearSecureState) and disables export and delete.
    void endVerifiedSession();
    // Logs out the application an action presented a PIN to, unless it is the verified one.
    void endActionLogin(const TokenChoice& choice);

    // Says where the tree is, and in the tray's tool tip, that the SKF library did not load or
    // lacks functions; made when the monitor has tried the load, re-texted with the language.
    void showLibraryNotice();
    QLabel* m_libraryNotice = nullptr;
};

#endif
