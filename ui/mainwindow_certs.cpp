// Certificate import, export and viewing, container deletion and clean-up of empty containers.
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "VerifyPin.h"
#include "cDevMgr.h"
#include "certfile_dialogs.h"
#include "certfile_io.h"
#include "certfile_select.h"
#include "keyops_text.h"
#include "logging.h"
#include "multilang.h"
#include "myMessageBox.h"
#include "namelist.h"
#include "passwordrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardItemModel>

#include <climits>
#include <cstring>
#include <optional>

namespace {

enum : unsigned {
    kModeSelectCert = 8000,
    kModeImported = 8001,
    kModeExported = 8002,
    kModeImportFailed = 8004,
    kModeExportFailed = 8005,
    kModeCleared = 9011,
    kModeClearFailed = 9012,
};
enum : unsigned {
    kTitleVerifyPin = 9002,
    kTitleImport = 9005,
    kTitleExport = 9006,
    kTitleView = 9007,
    kTitleClear = 9013
};

constexpr int kPurposeExport = 1;
constexpr int kPurposeView = 2;
constexpr ULONG kUserPin = 1;
constexpr int kDevNameBufferSize = 64;

void tell(myMessageBox* box, unsigned mode, unsigned title, unsigned value = 0)
{
    box->setWarnMode(mode, title, value);
    box->exec();
}

// A container name in the zero-filled buffer the token receives; containerName() has checked its size.
struct NameBuffer
{
    explicit NameBuffer(const QByteArray& name) { std::memcpy(bytes, name.constData(), std::size_t(name.size())); }
    char bytes[certfile::kContainerNameBufferSize] = {};
};

enum class Opened { Yes, Refused, Failed };

// Opens the container of a certificate-page row. A label that names no container is told with
// 8004 under the purpose's title (Refused); a container the token cannot open gives Failed, so that
// the handle of the container opened before is never read in its place.
Opened openContainerOfRow(const QModelIndex& current, int purpose, myMessageBox* box)
{
    const QModelIndex container = certfile::containerOfItem(current);
    if (!container.isValid())
        return Opened::Failed;
    QByteArray name;
    if (!certfile::containerName(container.data(Qt::DisplayRole).toString(), &name)) {
        tell(box, kModeImportFailed, purpose == kPurposeExport ? kTitleExport : kTitleView);
        return Opened::Refused;
    }
    NameBuffer buffer(name);
    return cDevMgr::getInst()->OpenContainer(buffer.bytes) == SAR_OK ? Opened::Yes : Opened::Failed;
}

// The certificate of the open container, the bytes as the token stores them.
bool readCertificate(bool sign, QByteArray* der)
{
    cDevMgr* mgr = cDevMgr::getInst();
    ULONG len = 0;
    if (mgr->ExportCertificate(sign ? TRUE : FALSE, nullptr, &len) != SAR_OK || len == 0 || len >= ULONG(INT_MAX))
        return false;
    QByteArray buffer(int(len) + 1, '\0');
    ULONG got = len;
    if (mgr->ExportCertificate(sign ? TRUE : FALSE, reinterpret_cast<BYTE*>(buffer.data()), &got) != SAR_OK ||
        got == 0 || got > len)
        return false;
    buffer.truncate(int(got));
    *der = buffer;
    return true;
}

QString serialOf(const DEVINFO& info)
{
    return QString::fromLocal8Bit(keymgr::fixedText(info.SerialNumber).c_str());
}

// The device-tree name of the token whose containers the certificate page shows (the connected one),
// found by its serial number; the device row chosen last is asked first.
QString deviceOfConnectedToken(const QAbstractItemModel* devices, const QModelIndex& chosen)
{
    cDevMgr* mgr = cDevMgr::getInst();
    CGMSKFOperator* skf = mgr->pSKF;
    DEVINFO held;
    std::memset(&held, 0, sizeof held);
    if (!skf || !mgr->hDev || skf->SKF_GetDevInfo(mgr->hDev, &held) != SAR_OK)
        return QString();
    const QString serial = serialOf(held);

    QStringList names;
    QModelIndex device = chosen;
    while (device.isValid() && device.parent().isValid())
        device = device.parent();
    if (device.isValid())
        names << device.data(Qt::DisplayRole).toString();
    for (int row = 0; row < devices->rowCount(); ++row) {
        const QString name = devices->index(row, 0).data(Qt::DisplayRole).toString();
        if (!names.contains(name))
            names << name;
    }
    for (const QString& name : names) {
        const QByteArray name8 = name.toLocal8Bit();
        if (name8.isEmpty() || name8.size() >= kDevNameBufferSize || name8.contains('\0'))
            continue;
        char buffer[kDevNameBufferSize] = {};
        std::memcpy(buffer, name8.constData(), std::size_t(name8.size()));
        DEVINFO info;
        std::memset(&info, 0, sizeof info);
        if (mgr->getDevInfo(buffer, &info) == SAR_OK && serialOf(info) == serial)
            return name;
    }
    // Then the chosen row's device, as any other caller would hand it over.
    return names.isEmpty() ? QString() : names.front();
}

} // namespace

void MainWindow::btn_importCert()
{
    const QString file =
        certfile::askOpenFileName(this, tr("Import Cert"), QDir::homePath(), tr("Allfile(*.*);;cer(*.cer)"));
    if (file.isEmpty()) {
        tell(m_msgBox, kModeSelectCert, kTitleImport);
        return;
    }
    QByteArray data;
    QFile input(file);
    // Only a regular file: a device such as /dev/zero would be read without end.
    if (QFileInfo(file).isFile() && input.open(QIODevice::ReadOnly))
        data = input.readAll();
    const bool readable = input.error() == QFileDevice::NoError && !data.isEmpty();
    input.close();

    // Any row of a container, however deep, imports into that container.
    const QModelIndex container = certfile::topLevelRow(ui->treeView->currentIndex());
    QByteArray name;
    unsigned mode = kModeImportFailed;
    if (readable && container.isValid() && certfile::containerName(container.data(Qt::DisplayRole).toString(), &name)) {
        NameBuffer buffer(name);
        cDevMgr* mgr = cDevMgr::getInst();
        if (mgr->OpenContainer(buffer.bytes) == SAR_OK &&
            mgr->ImportCertificate(TRUE, reinterpret_cast<const BYTE*>(data.constData()), ULONG(data.size())) == SAR_OK)
            mode = kModeImported;
    }
    tell(m_msgBox, mode, kTitleImport);
    if (mode == kModeImported)
        chooseApp(deviceOfConnectedToken(m_devModel, ui->treeView_Dev->currentIndex()));
}

void MainWindow::btn_exportCert()
{
    const QModelIndex current = ui->treeView->currentIndex();
    bool sign = false;
    if (!certfile::certificateRow(current, &sign))
        return;
    // A bare file name would land in the working directory, which is "/" once daemonised.
    const QString suggested = QDir::homePath() + QLatin1Char('/') + tr("lumeno.cer");
    const QString file = certfile::askSaveFileName(this, tr(__(30029, "Export Certificate").c_str()), suggested);
    if (file.isEmpty())
        return;
    const Opened opened = openContainerOfRow(current, kPurposeExport, m_msgBox);
    if (opened == Opened::Refused)
        return;
    QByteArray der;
    const bool done = opened == Opened::Yes && readCertificate(sign, &der) && certfile::writeExportFile(file, der);
    tell(m_msgBox, done ? kModeExported : kModeExportFailed, kTitleExport);
}

void MainWindow::btn_viewCert()
{
    const QModelIndex current = ui->treeView->currentIndex();
    bool sign = false;
    if (!certfile::certificateRow(current, &sign))
        return;
    if (openContainerOfRow(current, kPurposeView, m_msgBox) != Opened::Yes)
        return;
    viewCertificate(sign);
}

void MainWindow::openCurrentNodeCTN(int purpose)
{
    openContainerOfRow(ui->treeView->currentIndex(), purpose, m_msgBox);
}

void MainWindow::viewCertificate(bool sign)
{
    QByteArray der;
    if (!readCertificate(sign, &der))
        return;
    const QString path = certfile::writeViewerFile(der);
    if (path.isEmpty()) {
        qCWarning(lcUi, "cannot write the certificate for the viewer");
        return;
    }
    certfile::startViewer(path);
}

void MainWindow::btn_deleteCtn()
{
    const QModelIndex current = ui->treeView->currentIndex();
    if (!current.isValid() || current.parent().isValid())
        return;
    QByteArray name;
    if (!certfile::containerName(current.data(Qt::DisplayRole).toString(), &name)) {
        tell(m_msgBox, kModeImportFailed, kTitleView);
        return;
    }
    NameBuffer buffer(name);
    const ULONG result = cDevMgr::getInst()->DeleteContainer(buffer.bytes);
    logSkfFailure("SKF_DeleteContainer", result, cDevMgr::getInst()->connectedDevName());
    chooseApp(deviceOfConnectedToken(m_devModel, ui->treeView_Dev->currentIndex()));
}

void MainWindow::on_btn_clearEmptyCtn_clicked()
{
    std::optional<pinrules::PinBytes> pin;
    {
        // Gone, with its field wiped, before the token is asked and the result shown.
        VerifyPin dialog(nullptr);
        if (dialog.exec() != 1)
            return;
        QString text = dialog.getUserPin();
        pin.emplace(text, pinrules::TextUnit::Utf8);
        pinrules::wipe(text);
    }
    cDevMgr* mgr = cDevMgr::getInst();
    ULONG retry = 0;
    const ULONG verified = mgr->VerifyPIN(kUserPin, pin->data(), &retry);
    logSkfFailure("SKF_VerifyPIN", verified, mgr->connectedDevName());
    pin.reset();
    if (verified != SAR_OK) {
        tell(m_msgBox, keyops::resultMode(verified, keyops::kModeFailed), kTitleVerifyPin, unsigned(retry));
        return;
    }
    const ULONG cleared = mgr->ClearEmptyContainers();
    // The certificate page is rebuilt whenever it is shown again, so it needs no refresh here.
    tell(m_msgBox, cleared == SAR_OK ? kModeCleared : kModeClearFailed, kTitleClear);
}
