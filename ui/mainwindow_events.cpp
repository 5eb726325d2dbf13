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
#include "webopen.h"

#include <QDebug>
#include <QLabel>
#include <QStandardItem>
#include <QStandardItemModel>

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
    // The modal dialogs below run nested event loops that deliver further token events; a nested
    // run would clear the models under the running one and re-enter the dialog's exec().
    if (m_inEventChange) {
        ++m_deferredEventChanges;
        return;
    }
    m_inEventChange = true;
    handleTokenEvent();
    while (m_deferredEventChanges > 0) {
        --m_deferredEventChanges;
        handleTokenEvent();
    }
    m_inEventChange = false;
}

void MainWindow::handleTokenEvent()
{
    for (QPushButton* button : {ui->btn_clearEmptyCtn, ui->btn_ChangeLabel, ui->btn_VerifyPIN, ui->btn_ChangePIN,
                                ui->btn_VerifyPIN_OK, ui->btn_ChangPIN_OK, ui->btn_ImpCert, ui->btn_ExpCert,
                                ui->btn_DelCtn, ui->btn_ChangeAuthKey, ui->btn_UnblockPIN, ui->btn_Initialize})
        button->setEnabled(false);
    ui->tabWidget->setCurrentIndex(1);
    ui->tabWidget_2->setCurrentIndex(0);
    // The pages are left: a PIN typed there must not wait in a hidden field.
    clearPinEdits();
    m_devModel->clear();
    m_ctnModel->clear();
    ui->label_bottom->setText(QString());

    const QString title = tr("网上银行USB Key管理工具");
    switch (cDevMgr::getInst()->GetEvent()) {
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
    cDevMgr* mgr = cDevMgr::getInst();
    CGMSKFOperator* skf = mgr->pSKF;
    if (!skf)
        return;
    std::vector<std::string> devices;
    if (keymgr::fetchNameList([skf](LPSTR list, ULONG* size) { return skf->SKF_EnumDev(TRUE, list, size); },
                              &devices) != SAR_OK ||
        devices.empty())
        return;

    for (const std::string& device : devices) {
        auto* deviceItem = new QStandardItem(QString::fromLocal8Bit(device.c_str()));
        m_devModel->appendRow(deviceItem);
        mgr->ConnectDev(device.c_str());

        ULONG reported = 0;
        std::vector<std::string> apps;
        const ULONG listed = keymgr::fetchNameList(
            [mgr, &reported](LPSTR list, ULONG* size) {
                const ULONG result = mgr->EnumApplication(list, size);
                if (!list)
                    reported = *size;
                return result;
            },
            &apps);
        if (listed != SAR_OK)
            continue;
        if (apps.empty() || apps.front().empty()) {
            if (reported >= 2)
                qCDebug(lcSkf, "length error");
            deviceItem->appendRow(new QStandardItem(text(30000, "Empty Device")));
            std::memset(m_appName, 0, sizeof m_appName);
            continue;
        }
        deviceItem->appendRow(new QStandardItem(text(30001, "Data Manger")));
        std::memset(m_appName, 0, sizeof m_appName);
        std::strncpy(m_appName, apps.front().c_str(), sizeof m_appName - 1);
        if (mgr->OpenApplication(m_appName) != SAR_OK)
            continue;
        ULONG maxRetry = 0, remain = 0;
        BOOL isDefault = FALSE;
        if (mgr->GetPINInfo(1, &maxRetry, &remain, &isDefault) == SAR_OK && isDefault)
            forceUserPinChange(m_msgBox, device);
    }

    m_devModel->setHorizontalHeaderLabels(QStringList() << text(30002, "DevList"));
    ui->treeView_Dev->setModel(m_devModel);
}
