// The warning about the first certificate of a newly inserted token that expires soon or has expired.
#include "MainWindow.h"

#include "certParse.h"
#include "multilang.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

// A plain box without parent, as QMessageBox::warning and ::critical show it; its objects are
// named so that a test driver can find and answer it.
void showExpiryBox(QMessageBox::Icon icon, const QString& title, const QString& text)
{
    // The window may be hidden in the tray: closing this box must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QMessageBox box(icon, title, text, QMessageBox::Ok);
    // The text comes from a language file: shown as written, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("certExpiryBox"));
    box.button(QMessageBox::Ok)->setObjectName(QStringLiteral("btn_expiry_ok"));
    box.exec();
}

} // namespace

void MainWindow::certIsValid()
{
    // The token of the insertion being handled, not of whatever event came last.
    const std::string device = m_lastEvent.device.toStdString();
    long secondsLeft = 0;
    certParse parser;
    if (parser.certValid(device.c_str(), &secondsLeft) == 0)
        showExpiryNotice(secondsLeft);
}

void MainWindow::showExpiryNotice(long secondsLeft)
{
    const ExpiryNotice notice = expiryNoticeFor(secondsLeft);
    const QString title = tr("网上银行USB Key管理工具");
    // The looked-up formats are checked for their one conversion before use.
    switch (notice.kind) {
    case ExpiryNotice::None:
        break;
    case ExpiryNotice::Critical:
        showExpiryBox(QMessageBox::Critical, title,
                      tr(ml_formatNumber(32055,
                                         "Your certificate has expired %ld days ago. \n"
                                         "Please contact your administrator for certificate update.",
                                         notice.days)
                             .c_str()));
        break;
    case ExpiryNotice::Balloon:
    case ExpiryNotice::Warning: {
        const QString message = tr(ml_formatNumber(32054,
                                                   "Your certificate will expire in %d days. \n"
                                                   "Please contact your administrator for certificate update.",
                                                   notice.days)
                                       .c_str());
        if (notice.kind == ExpiryNotice::Balloon)
            showTrayMessage(title, message, 3000);
        else
            showExpiryBox(QMessageBox::Warning, title, message);
        break;
    }
    }
}
