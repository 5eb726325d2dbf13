// The information page and the container tree of the token chosen in the device tree.
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "cDevMgr.h"
#include "certfile_select.h"
#include "logging.h"
#include "multilang.h"
#include "namelist.h"
#include "tokentext.h"
#include "windowconstants.h"

#include <QHeaderView>
#include <QIcon>
#include <QStandardItem>
#include <QStandardItemModel>

#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr ULONG kContainerListSize = 2048;
constexpr ULONG kRsaPublicKeySize = sizeof(RSAPUBLICKEYBLOB); // 268
constexpr ULONG kEccPublicKeySize = sizeof(ECCPUBLICKEYBLOB); // 132
constexpr BYTE kContainerRsa = SKF_CONTAINER_RSA;
constexpr BYTE kContainerEcc = SKF_CONTAINER_ECC;

QString text(unsigned long id, const char* defaultText)
{
    return MainWindow::tr(__(id, defaultText).c_str());
}

// Bit length of the public key of one usage in the open container; 0 when it cannot be exported.
ULONG publicKeyBits(cDevMgr* mgr, BYTE type, bool sign, std::vector<BYTE>* blob)
{
    ULONG len = static_cast<ULONG>(blob->size());
    if (mgr->ExportPublicKey(sign ? TRUE : FALSE, blob->data(), &len) != SAR_OK)
        return 0;
    // RSA blobs carry the bit length after the algorithm id, ECC blobs first.
    const std::size_t offset = type == kContainerRsa ? offsetof(RSAPUBLICKEYBLOB, BitLen) : 0;
    ULONG bits = 0;
    std::memcpy(&bits, blob->data() + offset, sizeof bits);
    return bits;
}

QStandardItem* keyItem(unsigned long id, const char* defaultText)
{
    return new QStandardItem(QIcon(QStringLiteral(":/keys.png")), text(id, defaultText));
}

// Reads the certificate of one usage of the open container once, whatever its size: false when it
// cannot be exported or is empty. *der gets its bytes, at the certificate's own encoded length when they decode.
bool exportCertificate(cDevMgr* mgr, bool sign, QByteArray* der)
{
    std::vector<BYTE> bytes;
    const ULONG read = keymgr::fetchCertificate(
        [mgr, sign](BYTE* buf, ULONG* len) { return mgr->ExportCertificate(sign ? TRUE : FALSE, buf, len); }, &bytes);
    *der = QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    // An empty answer is no certificate either.
    return read == SAR_OK && !bytes.empty();
}

// The common name of a certificate for its tree row, "Certificate" when it has none or does not decode.
QString commonNameOf(cDevMgr* mgr, const QByteArray& der)
{
    char name[128] = {};
    const unsigned char* cursor = reinterpret_cast<const unsigned char*>(der.constData());
    if (X509* cert = d2i_X509(nullptr, &cursor, der.size())) {
        mgr->getX509Name(X509_get_subject_name(cert), name);
        X509_free(cert);
    }
    const QString common = QString::fromUtf8(name);
    return common.isEmpty() ? text(70000, "Certificate") : common;
}

// Appends the node of one key pair under the container, with the item of its certificate first when
// withCert is set (its bytes stay with the item for viewing); a pair whose public key cannot be read
// or whose length is unknown gets none.
void appendPair(cDevMgr* mgr, QStandardItem* container, BYTE type, bool sign, bool withCert, const QByteArray& der,
                std::vector<BYTE>* blob)
{
    const QString label = certfile::pairLabel(type, sign, publicKeyBits(mgr, type, sign, blob));
    if (label.isEmpty())
        return;
    auto* pair = new QStandardItem(QIcon(QStringLiteral(":/folder.png")), label);
    if (withCert) {
        auto* cert = new QStandardItem(QIcon(QStringLiteral(":/cert3.png")), commonNameOf(mgr, der));
        cert->setData(der, certfile::kCertificateBytesRole);
        pair->appendRow(cert);
    }
    pair->appendRow(keyItem(30020, "Public key"));
    pair->appendRow(keyItem(30021, "Private key"));
    container->appendRow(pair);
}

} // namespace

QString getCtnType(int type)
{
    switch (type) {
    case kContainerRsa:
        return QStringLiteral("RSA");
    case kContainerEcc:
        return QStringLiteral("ECC");
    default:
        return QStringLiteral("Empty");
    }
}

void MainWindow::forgetChosenToken()
{
    // A PIN typed on a page of the token let go is never sent: it must not wait in a hidden field.
    clearPinEdits();
    m_choice = TokenChoice();
    std::memset(m_appName, 0, sizeof m_appName);
    m_infoModel->clear();
    ui->label_bottom->setText(QString());
}

void MainWindow::chooseDev(QString devName)
{
    chooseDevice(deviceNamed(devName));
}

void MainWindow::chooseDevice(const std::string& device)
{
    HandlesClosedAtEnd closed;
    showDevice(device, true);
}

std::string MainWindow::deviceNamed(const QString& text) const
{
    // A row of the tree first, its current row before the others should two names look alike.
    const QModelIndex current = certfile::topLevelRow(ui->treeView_Dev->currentIndex());
    QList<QModelIndex> rows;
    if (current.isValid())
        rows << current;
    for (int row = 0; row < m_devModel->rowCount(); ++row)
        rows << m_devModel->index(row, 0);
    for (const QModelIndex& row : rows) {
        if (row.data(Qt::DisplayRole).toString() == text)
            return row.data(tokentext::kNameBytesRole).toByteArray().toStdString();
    }
    // Else a device the library lists now: a text never becomes a name the library did not give.
    CGMSKFOperator* skf = cDevMgr::getInst()->pSKF;
    std::vector<std::string> devices;
    if (skf && !text.isEmpty() &&
        keymgr::fetchNameList([skf](LPSTR list, ULONG* size) { return skf->SKF_EnumDev(TRUE, list, size); }, &devices,
                              keymgr::kNameListFirstTry) == SAR_OK) {
        for (const std::string& device : devices) {
            if (tokentext::display(device) == text)
                return device;
        }
    }
    return std::string();
}

void MainWindow::endVerifiedSession()
{
    for (QPushButton* button : {ui->btn_ImpCert, ui->btn_ExpCert, ui->btn_DelCtn})
        button->setEnabled(false);
    if (m_verified.empty())
        return;
    const ULONG result = cDevMgr::getInst()->clearSecureState(m_verified);
    logSkfFailure("SKF_ClearSecureState", result, m_verified.device);
    m_verified = TokenChoice();
}

void MainWindow::endActionLogin(const TokenChoice& choice)
{
    // A PIN an action presented logs its application in; only the verify page's login is kept.
    if (choice.empty() || (choice.device == m_verified.device && choice.application == m_verified.application))
        return;
    const ULONG result = cDevMgr::getInst()->clearSecureState(choice);
    logSkfFailure("SKF_ClearSecureState", result, choice.device);
}

bool MainWindow::showDevice(const std::string& device, bool withPins)
{
    ui->btn_ChangeLabel->setEnabled(true);
    ui->btn_VerifyPIN->setEnabled(false);
    ui->btn_ChangePIN->setEnabled(false);

    // The login of the verify page lasts while its token stays chosen; another token ends it.
    if (device != m_verified.device)
        endVerifiedSession();
    // Whatever was chosen before is let go first: a token that cannot be read shows nothing, and no
    // action falls back on the token chosen before it.
    forgetChosenToken();
    const QList<QPushButton*> pinButtons = {ui->btn_clearEmptyCtn, ui->btn_VerifyPIN, ui->btn_ChangePIN,
                                            ui->btn_UnblockPIN};
    for (QPushButton* button : pinButtons)
        button->setEnabled(false);
    for (QPushButton* button : {ui->btn_ImpCert, ui->btn_ExpCert, ui->btn_DelCtn})
        button->setEnabled(false);

    // A name the 64-byte buffer cannot hold whole is refused rather than cut into another name.
    if (!cDevMgr::deviceNameFits(device))
        return false;

    // The device is reached by its name alone: connecting fails for one that is gone, so no scan
    // of every device is needed first.
    cDevMgr* mgr = cDevMgr::getInst();
    DEVINFO info;
    std::memset(&info, 0, sizeof info);
    if (mgr->open(TokenChoice{device, std::string(), std::string(), -1}) != SAR_OK || mgr->GetDevInfo(&info) != SAR_OK)
        return false;
    m_choice.device = device;

    const QString serial = tokentext::display(keymgr::fixedText(info.SerialNumber));
    ui->label_bottom->setText(QString::fromUtf8("Lumeno    当前设备SN：") + serial);

    auto setRow = [this](int row, const QString& caption, const QString& value) {
        m_infoModel->setItem(row, 0, new QStandardItem(caption));
        m_infoModel->setItem(row, 1, new QStandardItem(value));
    };
    setRow(0, text(30003, "Label"), tokentext::display(keymgr::fixedText(info.Label)));
    setRow(1, text(30004, "SerialNumber"), serial);
    setRow(2, text(30005, "Manufacturer"), tokentext::display(keymgr::fixedText(info.Manufacturer)));
    setRow(3, text(30006, "HWVersion"),
           QStringLiteral("%1.%2").arg(int(info.HWVersion.major)).arg(int(info.HWVersion.minor)));
    setRow(4, text(30007, "TotalSpace"), QStringLiteral("%1 KB").arg(info.TotalSpace >> 10));
    setRow(5, text(30008, "FreeSpace"), QStringLiteral("%1 KB").arg(info.FreeSpace >> 10));

    // The application the device tree found; asked only for a device it does not list.
    std::string app;
    const auto known = m_knownApps.constFind(QByteArray::fromStdString(device));
    if (known != m_knownApps.constEnd()) {
        app = known.value();
    } else {
        std::vector<std::string> apps;
        if (keymgr::fetchNameList([mgr](LPSTR list, ULONG* size) { return mgr->EnumApplication(list, size); }, &apps,
                                  keymgr::kNameListFirstTry) == SAR_OK &&
            !apps.empty())
            app = apps.front();
    }
    // An application name that does not fit the buffer whole would open another one.
    if (!app.empty() && app.size() < sizeof m_appName) {
        std::strncpy(m_appName, app.c_str(), sizeof m_appName - 1);
        m_choice.application = app;
    }
    if (!m_verified.empty() && m_verified.application != m_choice.application)
        endVerifiedSession();

    const QString blank = QStringLiteral("  ");
    setRow(6, text(30009, "SOPIN MaxRetryCount"), blank);
    setRow(7, text(30010, "SOPIN RemainRetryCount"), blank);
    setRow(8, text(30011, "SOPIN DefaultPIN"), blank);
    setRow(9, text(30012, "USERPIN MaxRetryCount"), blank);
    setRow(10, text(30013, "USERPIN RemainRetryCount"), blank);
    setRow(11, text(30014, "USERPIN DefaultPIN"), blank);

    auto pinRows = [&](ULONG type, int firstRow) {
        ULONG maxRetry = 0, remain = 0;
        BOOL isDefault = FALSE;
        if (mgr->GetPINInfo(type, &maxRetry, &remain, &isDefault) != SAR_OK)
            return;
        m_infoModel->setItem(firstRow, 1, new QStandardItem(QString::number(maxRetry)));
        m_infoModel->setItem(firstRow + 1, 1,
                             new QStandardItem(remain == 0 ? text(30015, "0(Locked)") : QString::number(remain)));
        m_infoModel->setItem(firstRow + 2, 1, new QStandardItem(isDefault ? text(30016, "YES") : text(30017, "NO")));
    };
    bool opened = false;
    if (m_appName[0] != '\0') {
        opened = mgr->OpenApplication(m_appName) == SAR_OK;
        // The certificate page does not show the counters; the key information page reads them.
        if (opened && withPins) {
            pinRows(0, 6);
            pinRows(1, 9);
        }
        for (QPushButton* button : pinButtons)
            button->setEnabled(opened);
        // Export and delete act on the application whose PIN was verified, and on no other.
        for (QPushButton* button : {ui->btn_ImpCert, ui->btn_ExpCert, ui->btn_DelCtn})
            button->setEnabled(opened && !m_verified.empty());
    } else {
        ui->btn_VerifyPIN->setEnabled(false);
        ui->btn_ChangePIN->setEnabled(false);
        ui->btn_UnblockPIN->setEnabled(false);
    }

    ui->treeView_usbInfo->setHeaderHidden(true);
    ui->treeView_usbInfo->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    ui->treeView_usbInfo->header()->setStretchLastSection(false);
    ui->treeView_usbInfo->setModel(m_infoModel);
    return opened;
}

void MainWindow::chooseApp(QString devName)
{
    showApplication(deviceNamed(devName));
}

void MainWindow::showApplication(const std::string& device)
{
    m_ctnMap.clear();
    m_ctnModel->clear();
    ui->tabWidget->setCurrentIndex(mainwin::kPageCertificates);
    ui->btn_ChangeLabel->setEnabled(true);

    // The application stays open from choosing the device; it is not opened a second time.
    HandlesClosedAtEnd closed;
    const bool opened = showDevice(device, false);

    const QList<QPushButton*> appButtons = {ui->btn_clearEmptyCtn, ui->btn_VerifyPIN, ui->btn_ChangePIN,
                                            ui->btn_UnblockPIN};
    auto enableAppButtons = [&](bool on) {
        for (QPushButton* button : appButtons)
            button->setEnabled(on);
    };
    if (m_appName[0] == '\0') {
        enableAppButtons(false);
        return;
    }
    if (!opened) {
        enableAppButtons(false);
        m_ctnModel->clear();
        return;
    }
    enableAppButtons(true);

    cDevMgr* mgr = cDevMgr::getInst();
    std::vector<std::string> containers;
    if (keymgr::fetchNameList([mgr](LPSTR list, ULONG* size) { return mgr->EnumContainer(list, size); }, &containers,
                              kContainerListSize) != SAR_OK ||
        containers.empty())
        return;

    for (const std::string& name : containers) {
        const QString label = tokentext::display(name) + text(70001, "(container)");
        auto* item = new QStandardItem(QIcon(QStringLiteral(":/folder.png")), label);
        // The actions send the token these bytes: two names that look alike stay two containers.
        item->setData(QByteArray::fromStdString(name), tokentext::kNameBytesRole);
        m_ctnModel->appendRow(item);

        mgr->closeContainer();
        if (mgr->OpenContainer(name.c_str()) != SAR_OK)
            continue;
        ContainerInfo info;
        std::memset(&info, 0, sizeof info);
        if (mgr->GetContainerInfo(&info) != SAR_OK)
            continue;
        if (!m_ctnMap.contains(label))
            m_ctnMap.insert(label, info);
        const BYTE type = info.ContainerType;
        if (type != kContainerRsa && type != kContainerEcc)
            continue;

        std::vector<BYTE> blob(type == kContainerRsa ? kRsaPublicKeySize : kEccPublicKeySize, 0);
        // Each certificate is read once; its bytes give the row its name and stay with it for viewing.
        QByteArray signDer;
        QByteArray encDer;
        const bool signCert = exportCertificate(mgr, true, &signDer);
        const bool encCert = exportCertificate(mgr, false, &encDer);

        if (signCert) {
            appendPair(mgr, item, type, true, true, signDer, &blob);
            appendPair(mgr, item, type, false, encCert, encDer, &blob);
        } else if (encCert) {
            appendPair(mgr, item, type, false, true, encDer, &blob);
            appendPair(mgr, item, type, true, false, QByteArray(), &blob);
        } else {
            appendPair(mgr, item, type, true, false, QByteArray(), &blob);
            appendPair(mgr, item, type, false, false, QByteArray(), &blob);
        }
    }

    ui->treeView->setHeaderHidden(true);
    ui->treeView->setModel(m_ctnModel);
}

void MainWindow::Dev_App_selected(QModelIndex index)
{
    if (!index.isValid())
        return;
    // A top-level row is a device even when it has no application row under it.
    if (!index.parent().isValid()) {
        chooseDevice(index.data(tokentext::kNameBytesRole).toByteArray().toStdString());
        ui->tabWidget->setCurrentIndex(mainwin::kPageToken);
        ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageInfo);
    } else {
        showApplication(index.parent().data(tokentext::kNameBytesRole).toByteArray().toStdString());
    }
}

void MainWindow::chooseCurrentRow(const QModelIndex& current)
{
    // Arrow keys make the row current and selected at once, and so choose it as a click does. A
    // mouse press makes it current before selecting it, so the click alone chooses; nor is a row the
    // view makes current when it takes the focus, without selecting it, the user's choice.
    if (current.isValid() && ui->treeView_Dev->selectionModel()->isSelected(current))
        Dev_App_selected(current);
}

// Stays because the window's published slot list names it, though nothing sends to it: it makes the
// same choice for the device tree's current row.
void MainWindow::Dev_App_selected_noindex()
{
    const QModelIndex current = ui->treeView_Dev->currentIndex();
    if (current.parent().isValid()) {
        showApplication(current.parent().data(tokentext::kNameBytesRole).toByteArray().toStdString());
        return;
    }
    chooseDevice(current.data(tokentext::kNameBytesRole).toByteArray().toStdString());
    ui->tabWidget->setCurrentIndex(mainwin::kPageToken);
    ui->tabWidget_2->setCurrentIndex(mainwin::kTokenPageInfo);
}

void MainWindow::Ctn_selected(QModelIndex)
{
    btn_viewCert();
}
