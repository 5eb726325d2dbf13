// The token event handler: page reset, settings reload, web site, tray messages, expiry check and
// the rebuild of the device tree, with the forced change of a factory-default user PIN.
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "cDevMgr.h"
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
#include <QLabel>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QTimer>

#include <cstring>
#include <string>
#include <vector>

namespace {

QString text(unsigned long id, const char* defaultText)
{
    return MainWindow::tr(__(id, defaultText).c_str());
}

} // namespace

void MainWindow::slotEventChange()
{
    // Called directly (language switch): the last event handled is handled again.
    queueTokenEvent(m_lastEvent);
}

void MainWindow::onTokenEvent(quint32 event, const QByteArray& device)
{
    queueTokenEvent({event, device});
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

void MainWindow::handleTokenEvent(const TokenEvent& event)
{
    for (QPushButton* button : {ui->btn_clearEmptyCtn, ui->btn_ChangeLabel, ui->btn_VerifyPIN, ui->btn_ChangePIN,
                                ui->btn_VerifyPIN_OK, ui->btn_ChangPIN_OK, ui->btn_ImpCert, ui->btn_ExpCert,
                                ui->btn_DelCtn, ui->btn_ChangeAuthKey, ui->btn_UnblockPIN, ui->btn_Initialize})
        button->setEnabled(false);
    ui->tabWidget->setCurrentIndex(mainwin::kPageToken);
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageMain);
    m_devModel->clear();
    m_ctnModel->clear();
    ui->label_bottom->setText(QString());
    // The pages start over with nothing chosen: no page keeps a token's data that may be gone, nor
    // a PIN typed there, nor a login that export and delete no longer offer to use.
    endVerifiedSession();
    forgetChosenToken();

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
        certIsValid();
        break;
    case SKF_EVENT_REMOVED:
        showTrayMessage(title, text(32053, "RUZ-Ururov removed"), 3000);
        break;
    default:
        break;
    }

    rebuildDevTree();
}

void MainWindow::rebuildDevTree()
{
    m_knownApps.clear();
    cDevMgr* mgr = cDevMgr::getInst();
    CGMSKFOperator* skf = mgr->pSKF;
    if (!skf)
        return;
    // Each list is first fetched into a buffer that holds any usual list: one call, not two.
    std::vector<std::string> devices;
    if (keymgr::fetchNameList([skf](LPSTR list, ULONG* size) { return skf->SKF_EnumDev(TRUE, list, size); }, &devices,
                              keymgr::kNameListFirstTry) != SAR_OK ||
        devices.empty())
        return;

    // Each device's handles are closed before the next device is connected, and after the last.
    HandlesClosedAtEnd closed;
    for (const std::string& device : devices) {
        auto* deviceItem = new QStandardItem(tokentext::display(device));
        // A click chooses these bytes: two names that look alike stay two devices.
        deviceItem->setData(QByteArray::fromStdString(device), tokentext::kNameBytesRole);
        m_devModel->appendRow(deviceItem);
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
            continue;
        const QByteArray key = QByteArray::fromStdString(device);
        if (apps.empty() || apps.front().empty()) {
            if (reported >= 2)
                qCDebug(lcSkf, "length error");
            deviceItem->appendRow(new QStandardItem(text(30000, "Empty Device")));
            std::memset(m_appName, 0, sizeof m_appName);
            m_knownApps.insert(key, std::string());
            continue;
        }
        deviceItem->appendRow(new QStandardItem(text(30001, "Data Manger")));
        std::memset(m_appName, 0, sizeof m_appName);
        std::strncpy(m_appName, apps.front().c_str(), sizeof m_appName - 1);
        m_knownApps.insert(key, apps.front());
        if (mgr->OpenApplication(m_appName) != SAR_OK)
            continue;
        ULONG maxRetry = 0, remain = 0;
        BOOL isDefault = FALSE;
        if (mgr->GetPINInfo(1, &maxRetry, &remain, &isDefault) == SAR_OK && isDefault)
            offerPinChange(TokenChoice{device, apps.front(), std::string(), -1});
    }

    m_devModel->setHorizontalHeaderLabels(QStringList() << text(30002, "DevList"));
    ui->treeView_Dev->setModel(m_devModel);
}
