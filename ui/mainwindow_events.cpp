// The token event handler: page reset, settings reload, web site, tray messages, expiry check and
// the device tree changed by the event, with the forced change of a factory-default user PIN.
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "cDevMgr.h"
#include "certParse.h"
#include "certfile_select.h"
#include "forcedchange.h"
#include "logging.h"
#include "multilang.h"
#include "myMessageBox.h"
#include "namelist.h"
#include "tokentext.h"
#include "webopen.h"
#include "windowconstants.h"

#include <QApplication>
#include <QDebug>
#include <QEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

QString text(unsigned long id, const char* defaultText)
{
    return MainWindow::tr(__(id, defaultText).c_str());
}

// What reading one device for its tree row found.
struct DeviceRow
{
    QStandardItem* item = nullptr;
    bool listed = false; // its application list was read
    std::string app;     // the first application; empty for none
    bool defaultPin = false;
    bool certFound = false; // the expiry check read a certificate
    long secondsLeft = 0;
};

// Connects the device with the manager's handles (left open for the caller to close), lists its
// applications and reads the user PIN of the first; with checkExpiry, the same open application is
// searched for the first certificate, so that the check costs no connection of its own.
DeviceRow readDeviceRow(cDevMgr* mgr, const std::string& device, bool checkExpiry)
{
    DeviceRow row;
    row.item = new QStandardItem(tokentext::display(device));
    // A click chooses these bytes: two names that look alike stay two devices.
    row.item->setData(QByteArray::fromStdString(device), tokentext::kNameBytesRole);
    mgr->close();
    mgr->ConnectDev(device.c_str());

    ULONG reported = 0;
    std::vector<std::string> apps;
    const ULONG listed = keymgr::fetchNameList(
        [mgr, &reported](LPSTR list, ULONG* size) {
            const ULONG result = mgr->EnumApplication(list, size);
            reported = *size;
            return result;
        },
        &apps, keymgr::kNameListFirstTry);
    if (listed != SAR_OK)
        return row;
    row.listed = true;
    if (apps.empty() || apps.front().empty()) {
        if (reported >= 2)
            qCDebug(lcSkf, "length error");
        row.item->appendRow(new QStandardItem(text(30000, "Empty Device")));
        return row;
    }
    row.item->appendRow(new QStandardItem(text(30001, "Data Manger")));
    row.app = apps.front();
    if (mgr->OpenApplication(row.app.c_str()) != SAR_OK)
        return row;
    ULONG maxRetry = 0, remain = 0;
    BOOL isDefault = FALSE;
    row.defaultPin = mgr->GetPINInfo(1, &maxRetry, &remain, &isDefault) == SAR_OK && isDefault;
    if (checkExpiry)
        row.certFound = certParse::firstCertificateIn(mgr->pSKF, mgr->hApplication, &row.secondsLeft) == 0;
    return row;
}

std::vector<std::string> presentDevices(cDevMgr* mgr, bool* ok)
{
    std::vector<std::string> devices;
    CGMSKFOperator* skf = mgr->pSKF;
    // Each list is first fetched into a buffer that holds any usual list: one call, not two.
    *ok = skf && keymgr::fetchNameList([skf](LPSTR list, ULONG* size) { return skf->SKF_EnumDev(TRUE, list, size); },
                                       &devices, keymgr::kNameListFirstTry) == SAR_OK;
    return devices;
}

} // namespace

void MainWindow::slotEventChange()
{
    // Called directly (language switch): the last event handled is handled again, and every token
    // listed again with the texts of the new language.
    TokenEvent again = m_lastEvent;
    again.incremental = false;
    queueTokenEvent(again);
}

void MainWindow::onTokenEvent(quint32 event, const QByteArray& device)
{
    queueTokenEvent({event, device, true});
}

void MainWindow::onLibraryReady(bool)
{
    showLibraryNotice();
    // The first run lists the tokens present once the library can be asked, however long it took.
    queueTokenEvent({0, QByteArray()});
    m_startupDone = true;
}

void MainWindow::queueTokenEvent(const TokenEvent& event)
{
    m_pendingEvents.append(event);
    runTokenWork();
}

void MainWindow::runTokenWork()
{
    // The modal dialogs of a run have event loops of their own that deliver further events; those
    // wait in the queue, so each event is handled once, in order, with its own code and name.
    if (m_inEventChange)
        return;
    m_inEventChange = true;
    for (;;) {
        if (!m_pendingEvents.isEmpty()) {
            m_lastEvent = m_pendingEvents.takeFirst();
            handleTokenEvent(m_lastEvent);
            continue;
        }
        if (m_pendingPinChanges.isEmpty())
            break;
        // A forced change offered while another dialog was open comes once that dialog is closed.
        if (QWidget* modal = QApplication::activeModalWidget()) {
            waitForClose(modal);
            break;
        }
        const TokenChoice choice = m_pendingPinChanges.takeFirst();
        cDevMgr* mgr = cDevMgr::getInst();
        HandlesClosedAtEnd closed;
        ULONG maxRetry = 0, remain = 0;
        BOOL isDefault = FALSE;
        if (mgr->open(choice) == SAR_OK && mgr->GetPINInfo(1, &maxRetry, &remain, &isDefault) == SAR_OK && isDefault &&
            forceUserPinChange(m_msgBox, choice) == ForcedChangeEnd::Done)
            endActionLogin(choice);
    }
    m_inEventChange = false;
}

void MainWindow::offerPinChange(const TokenChoice& choice)
{
    // Never inside an open dialog: the message dialog may be the one showing, and a nested change
    // form would replace its text.
    if (!QApplication::activeModalWidget()) {
        if (forceUserPinChange(m_msgBox, choice) == ForcedChangeEnd::Done)
            endActionLogin(choice);
        return;
    }
    for (const TokenChoice& pending : m_pendingPinChanges) {
        if (pending.device == choice.device)
            return;
    }
    m_pendingPinChanges.append(choice);
    waitForClose(QApplication::activeModalWidget());
}

void MainWindow::waitForClose(QWidget* dialog)
{
    if (m_waitingOn)
        m_waitingOn->removeEventFilter(this);
    m_waitingOn = dialog;
    dialog->installEventFilter(this);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_waitingOn && event->type() == QEvent::Hide) {
        m_waitingOn->removeEventFilter(this);
        m_waitingOn = nullptr;
        // After the dialog's exec() has returned to whoever opened it.
        QTimer::singleShot(0, this, &MainWindow::runTokenWork);
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::letGoOfChosenToken()
{
    for (QPushButton* button : {ui->btn_clearEmptyCtn, ui->btn_ChangeLabel, ui->btn_VerifyPIN, ui->btn_ChangePIN,
                                ui->btn_VerifyPIN_OK, ui->btn_ChangPIN_OK, ui->btn_ImpCert, ui->btn_ExpCert,
                                ui->btn_DelCtn, ui->btn_ChangeAuthKey, ui->btn_UnblockPIN, ui->btn_Initialize})
        button->setEnabled(false);
    ui->tabWidget->setCurrentIndex(mainwin::kPageToken);
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageMain);
    m_ctnModel->clear();
    ui->label_bottom->setText(QString());
    // The pages start over with nothing chosen: no page keeps a token's data that may be gone, nor
    // a PIN typed there, nor a login that export and delete no longer offer to use.
    endVerifiedSession();
    forgetChosenToken();
}

int MainWindow::placeTokenEvent(const TokenEvent& event)
{
    const bool inserted = event.code == SKF_EVENT_INSERTED;
    if (!event.incremental || (!inserted && event.code != SKF_EVENT_REMOVED) || event.device.isEmpty())
        return -1;
    bool ok = false;
    const std::vector<std::string> devices = presentDevices(cDevMgr::getInst(), &ok);
    if (!ok)
        return -1;
    std::vector<std::string> rows;
    for (int row = 0; row < m_devModel->rowCount(); ++row)
        rows.push_back(m_devModel->index(row, 0).data(tokentext::kNameBytesRole).toByteArray().toStdString());
    const std::string device = event.device.toStdString();
    const auto inTree = std::find(rows.begin(), rows.end(), device);
    int at = -1;
    if (inserted) {
        const auto inList = std::find(devices.begin(), devices.end(), device);
        if (inTree != rows.end() || inList == devices.end())
            return -1;
        at = int(inList - devices.begin());
        if (at > int(rows.size()))
            return -1;
        rows.insert(rows.begin() + at, device);
    } else {
        if (inTree == rows.end())
            return -1;
        at = int(inTree - rows.begin());
        rows.erase(inTree);
    }
    // The rows the tree would show after the event must be those a full listing gives, in its order;
    // otherwise an event was missed or the library names the device differently.
    return rows == devices ? at : -1;
}

void MainWindow::handleTokenEvent(const TokenEvent& event)
{
    // An event whose device the tree can place changes that device's rows alone: the other tokens
    // are not read again, and their rows, expansion and the user's choice stay.
    const int at = placeTokenEvent(event);
    const bool wholeList = at < 0;
    if (wholeList) {
        letGoOfChosenToken();
        m_devModel->clear();
    }

    const QString title = tr("网上银行USB Key管理工具");
    switch (event.code) {
    case SKF_EVENT_INSERTED:
        // Read again so that a settings file edited by hand counts from the next insertion.
        loadConfigFile();
        if (isOpenURL()) {
            const QString address = webAddressToOpen();
            if (!openWebAddress(address))
                qCWarning(lcUi, "the web address is not opened: \"%s\"", qUtf8Printable(address));
        }
        m_sysTrayIcon->show();
        showTrayMessage(title, text(32052, "RUZ-Ururov inserted"), 3000);
        // Listing the device alone checks its certificates on the same connection.
        if (wholeList)
            certIsValid();
        break;
    case SKF_EVENT_REMOVED:
        showTrayMessage(title, text(32053, "RUZ-Ururov removed"), 3000);
        break;
    default:
        break;
    }

    if (wholeList)
        rebuildDevTree();
    else if (event.code == SKF_EVENT_INSERTED)
        insertDeviceRow(event.device.toStdString(), at);
    else
        removeDeviceRow(event.device.toStdString(), at);
}

void MainWindow::insertDeviceRow(const std::string& device, int at)
{
    cDevMgr* mgr = cDevMgr::getInst();
    DeviceRow row;
    {
        HandlesClosedAtEnd closed;
        row = readDeviceRow(mgr, device, true);
    }
    m_devModel->insertRow(at, row.item);
    m_devModel->setHorizontalHeaderLabels(QStringList() << text(30002, "DevList"));
    if (row.listed)
        m_knownApps.insert(QByteArray::fromStdString(device), row.app);
    // The handles are closed before the notices: a modal box may stay up for long.
    if (row.certFound)
        showExpiryNotice(row.secondsLeft);
    if (row.defaultPin)
        offerPinChange(TokenChoice{device, row.app, std::string(), -1});
}

void MainWindow::removeDeviceRow(const std::string& device, int at)
{
    if (m_choice.device == device || m_verified.device == device)
        letGoOfChosenToken();
    const QModelIndex row = m_devModel->index(at, 0);
    // The view would make a neighbouring row current and selected, and so choose that token.
    if (certfile::topLevelRow(ui->treeView_Dev->currentIndex()) == row)
        ui->treeView_Dev->selectionModel()->clear();
    m_devModel->removeRow(at);
    m_knownApps.remove(QByteArray::fromStdString(device));
    // As a listing without tokens leaves it: no header either.
    if (m_devModel->rowCount() == 0)
        m_devModel->clear();
}

void MainWindow::rebuildDevTree()
{
    m_knownApps.clear();
    cDevMgr* mgr = cDevMgr::getInst();
    bool ok = false;
    const std::vector<std::string> devices = presentDevices(mgr, &ok);
    if (!ok || devices.empty())
        return;

    // Each device's handles are closed before the next device is connected, and after the last.
    HandlesClosedAtEnd closed;
    for (const std::string& device : devices) {
        const DeviceRow row = readDeviceRow(mgr, device, false);
        m_devModel->appendRow(row.item);
        if (!row.listed)
            continue;
        m_knownApps.insert(QByteArray::fromStdString(device), row.app);
        std::memset(m_appName, 0, sizeof m_appName);
        std::strncpy(m_appName, row.app.c_str(), sizeof m_appName - 1);
        if (row.defaultPin)
            offerPinChange(TokenChoice{device, row.app, std::string(), -1});
    }

    m_devModel->setHorizontalHeaderLabels(QStringList() << text(30002, "DevList"));
    ui->treeView_Dev->setModel(m_devModel);
}
