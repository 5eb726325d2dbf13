// Certificate import, export and viewing, container deletion and clean-up of empty containers.
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "VerifyPin.h"
#include "cDevMgr.h"
#include "certfile_dialogs.h"
#include "certfile_io.h"
#include "certfile_select.h"
#include "logging.h"
#include "messages.h"
#include "multilang.h"
#include "myMessageBox.h"
#include "namelist.h"
#include "passwordrules.h"
#include "windowconstants.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>

#include <cstring>
#include <optional>

using namespace messages; // the modes, titles and actions of the messages shown here

namespace {

constexpr int kPurposeExport = 1;
constexpr int kPurposeView = 2;

void tell(myMessageBox* box, unsigned mode, unsigned title, unsigned value = 0)
{
    box->setWarnMode(mode, title, value);
    box->exec();
}

void tell(myMessageBox* box, const Message& message, unsigned value = 0)
{
    tell(box, message.mode, message.title, value);
}

// A container name in the zero-filled buffer the token receives; containerName() has checked its size.
struct NameBuffer
{
    explicit NameBuffer(const QByteArray& name) { std::memcpy(bytes, name.constData(), std::size_t(name.size())); }
    char bytes[certfile::kContainerNameBufferSize] = {};
};

// The name of the container a certificate-page row belongs to: None for a key-pair row or no row,
// Unusable for a label that names no container (the callers tell it with 8004).
enum class RowName { Ok, None, Unusable };
RowName containerOfRow(const QModelIndex& row, QByteArray* name)
{
    const QModelIndex container = certfile::containerOfItem(row);
    if (!container.isValid())
        return RowName::None;
    return certfile::containerName(container, name) ? RowName::Ok : RowName::Unusable;
}

// The certificate of the open container, the bytes as the token stores them, however large. One
// call for any usual certificate; the size is asked only for a larger one.
bool readCertificate(bool sign, QByteArray* der)
{
    cDevMgr* mgr = cDevMgr::getInst();
    std::vector<BYTE> bytes;
    if (keymgr::fetchCertificate(
            [mgr, sign](BYTE* buf, ULONG* len) { return mgr->ExportCertificate(sign ? TRUE : FALSE, buf, len); },
            &bytes) != SAR_OK ||
        bytes.empty())
        return false;
    *der = QByteArray(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    return true;
}

void showInViewer(const QByteArray& der)
{
    const QString path = certfile::writeViewerFile(der);
    if (path.isEmpty()) {
        qCWarning(lcUi, "cannot write the certificate for the viewer");
        return;
    }
    certfile::startViewer(path);
}

} // namespace

void MainWindow::btn_importCert()
{
    // The row is taken by name before the file dialog, whose event loop may rebuild the tree.
    const QModelIndex container = certfile::topLevelRow(ui->treeView->currentIndex());
    QByteArray name;
    const bool named = container.isValid() && certfile::containerName(container, &name);
    const TokenChoice choice = m_choice.withContainer(name.toStdString());

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

    cDevMgr* mgr = cDevMgr::getInst();
    const bool imported =
        readable && named && mgr->open(choice) == SAR_OK &&
        mgr->ImportCertificate(TRUE, reinterpret_cast<const BYTE*>(data.constData()), ULONG(data.size())) == SAR_OK;
    mgr->close();
    tell(m_msgBox, outcomeMessage(Action::ImportCertificate, imported));
    refreshCertificatePage(choice, imported);
}

void MainWindow::btn_exportCert()
{
    const QModelIndex current = ui->treeView->currentIndex();
    bool sign = false;
    if (!certfile::certificateRow(current, &sign))
        return;
    // Names, not the row: the save dialog's event loop may rebuild the tree and free the row.
    QByteArray name;
    const RowName row = containerOfRow(current, &name);
    const TokenChoice choice = m_choice.withContainer(name.toStdString(), sign ? 1 : 0);
    // A bare file name would land in the working directory, which is "/" once daemonised.
    const QString suggested = QDir::homePath() + QLatin1Char('/') + tr("lumeno.cer");
    const QString file = certfile::askSaveFileName(this, tr(__(30029, "Export Certificate").c_str()), suggested);
    if (file.isEmpty())
        return;
    if (row == RowName::Unusable) {
        tell(m_msgBox, kModeImportFailed, kTitleExport);
        return;
    }
    // A token that is gone, or no longer holds the container, fails here and nothing is written.
    QByteArray der;
    const bool read = row == RowName::Ok && cDevMgr::getInst()->open(choice) == SAR_OK && readCertificate(sign, &der);
    cDevMgr::getInst()->close();
    const bool done = read && certfile::writeExportFile(file, der);
    tell(m_msgBox, outcomeMessage(Action::ExportCertificate, done));
}

void MainWindow::btn_viewCert()
{
    const QModelIndex current = ui->treeView->currentIndex();
    bool sign = false;
    if (!certfile::certificateRow(current, &sign))
        return;
    QByteArray name;
    const RowName row = containerOfRow(current, &name);
    if (row == RowName::Unusable)
        tell(m_msgBox, kModeImportFailed, kTitleView);
    if (row != RowName::Ok)
        return;
    // The bytes read when the tree was built: the page names this certificate, and viewing it asks
    // the slow token nothing.
    const QByteArray kept = current.data(certfile::kCertificateBytesRole).toByteArray();
    if (!kept.isEmpty()) {
        showInViewer(kept);
        return;
    }
    if (cDevMgr::getInst()->open(m_choice.withContainer(name.toStdString())) == SAR_OK)
        viewCertificate(sign);
    cDevMgr::getInst()->close();
}

// Stays because the window's published interface names it, though nothing calls it: the actions open
// their container through their choice.
void MainWindow::openCurrentNodeCTN(int purpose)
{
    QByteArray name;
    const RowName row = containerOfRow(ui->treeView->currentIndex(), &name);
    if (row == RowName::Unusable)
        tell(m_msgBox, kModeImportFailed, purpose == kPurposeExport ? kTitleExport : kTitleView);
    else if (row == RowName::Ok)
        cDevMgr::getInst()->open(m_choice.withContainer(name.toStdString()));
}

void MainWindow::viewCertificate(bool sign)
{
    QByteArray der;
    if (readCertificate(sign, &der))
        showInViewer(der);
}

void MainWindow::refreshCertificatePage(const TokenChoice& choice, bool changed)
{
    // Only while the page still shows that token: a token event meanwhile has reset the pages.
    if (changed && !choice.empty() && m_choice.device == choice.device)
        showApplication(choice.device);
}

void MainWindow::btn_deleteCtn()
{
    const QModelIndex current = ui->treeView->currentIndex();
    if (!current.isValid() || current.parent().isValid())
        return;
    QByteArray name;
    if (!certfile::containerName(current, &name)) {
        tell(m_msgBox, kModeImportFailed, kTitleView);
        return;
    }
    const TokenChoice choice = m_choice;
    // Deleting a container destroys its keys for good: only the continue button goes on; cancel,
    // the close button and Esc delete nothing.
    bool confirmed = false;
    QMetaObject::Connection answered;
    if (auto* ok = m_msgBox->findChild<QPushButton*>(QStringLiteral("btn_msg_ok")))
        answered = connect(ok, &QPushButton::clicked, this, [&confirmed] { confirmed = true; });
    m_msgBox->setWarnMode(kModeConfirmDelete, kTitleDelete, 0);
    const int answer = m_msgBox->exec();
    disconnect(answered);
    if (answer != 0 || !confirmed)
        return;

    cDevMgr* mgr = cDevMgr::getInst();
    NameBuffer buffer(name);
    const ULONG result = mgr->open(choice) == SAR_OK ? mgr->DeleteContainer(buffer.bytes) : SAR_FAIL;
    mgr->close();
    logSkfFailure("SKF_DeleteContainer", result, choice.device);
    const Message told = resultMessage(Action::DeleteContainer, result);
    if (told.mode != 0)
        tell(m_msgBox, told);
    refreshCertificatePage(choice, result == SAR_OK);
}

void MainWindow::on_btn_clearEmptyCtn_clicked()
{
    const TokenChoice choice = m_choice;
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
    // The token chosen before the dialog, reconnected: never the one a token event connected last.
    ULONG verified = mgr->open(choice);
    if (verified == SAR_OK) {
        verified = mgr->VerifyPIN(mainwin::kUserPin, pin->data(), &retry);
        logSkfFailure("SKF_VerifyPIN", verified, choice.device);
    }
    pin.reset();
    if (verified != SAR_OK) {
        mgr->close();
        tell(m_msgBox, resultMessage(Action::VerifyPin, verified), unsigned(retry));
        return;
    }
    ULONG removed = 0;
    const ULONG cleared = mgr->ClearEmptyContainers(&removed);
    mgr->close();
    endActionLogin(choice);
    // The messages carry no number: how many went is told in the log.
    qCInfo(lcUi, "clean-up removed %u empty containers", unsigned(removed));
    logSkfFailure("ClearEmptyContainers", cleared, choice.device);
    // The certificate page is rebuilt whenever it is shown again, so it needs no refresh here.
    tell(m_msgBox, resultMessage(Action::ClearContainers, cleared));
}
