// The notice where the device tree is, and in the tray's tool tip, when the SKF library cannot be
// loaded or lacks functions: without it the empty tree would look like "no token plugged in".
#include "MainWindow.h"

#include "ui_MainWindow.h"

#include "cDevMgr.h"
#include "multilang.h"

#include <QLabel>

namespace {

QString text(unsigned long id, const char* defaultText)
{
    return MainWindow::tr(__(id, defaultText).c_str());
}

} // namespace

QString skfLibraryNotice(const QString& path, bool loaded, const QStringList& missing)
{
    if (loaded && missing.isEmpty())
        return QString();
    QStringList lines;
    lines << (loaded ? text(33001, "The RUZ-Ururov driver library lacks functions this program needs:")
                     : text(33000, "The RUZ-Ururov driver library cannot be loaded:"))
          << path;
    if (loaded)
        lines << missing.join(QLatin1String(", "));
    lines << text(33002, "Please install the RUZ-Ururov driver, then start this program again.");
    return lines.join(QLatin1Char('\n'));
}

void MainWindow::showLibraryNotice()
{
    CGMSKFOperator* skf = cDevMgr::getInst()->pSKF;
    QStringList missing;
    if (skf) {
        for (const std::string& name : skf->missingNeededFunctions())
            missing << QString::fromStdString(name);
    }
    const QString notice = skfLibraryNotice(QString::fromStdString(cDevMgr::skfLibraryPath()), skf != nullptr, missing);
    if (notice.isEmpty())
        return;

    QTreeView* tree = ui->treeView_Dev;
    if (!m_libraryNotice) {
        m_libraryNotice = new QLabel(tree->parentWidget());
        m_libraryNotice->setObjectName(QStringLiteral("label_skfNotice"));
        m_libraryNotice->setTextFormat(Qt::PlainText);
        m_libraryNotice->setWordWrap(true);
        m_libraryNotice->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        m_libraryNotice->setStyleSheet(QStringLiteral("color: rgb(255, 0, 0);"));
        m_libraryNotice->setGeometry(tree->geometry());
        m_libraryNotice->show();
    }
    // A path has no spaces to wrap at: it may break after each '/'.
    QString shown = notice;
    shown.replace(QLatin1Char('/'), QStringLiteral("/\u200B"));
    m_libraryNotice->setText(shown);
    m_libraryNotice->setToolTip(notice);
    // The notice takes the top of the tree's place, the tree the rest, at least a few rows.
    const QRect area(m_libraryNotice->geometry().topLeft(), tree->geometry().bottomRight());
    const int height =
        qMin(area.height() - 4 * tree->fontMetrics().height(), m_libraryNotice->heightForWidth(area.width()));
    m_libraryNotice->setGeometry(area.x(), area.y(), area.width(), height);
    tree->setGeometry(area.x(), area.y() + height, area.width(), area.height() - height);
    if (m_sysTrayIcon)
        m_sysTrayIcon->setToolTip(QString::fromUtf8("Norvik银行国密Key管理工具") + QLatin1Char('\n') + notice);
}
