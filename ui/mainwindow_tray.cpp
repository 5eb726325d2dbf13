#include "MainWindow.h"

#include "multilang.h"

#include <QAction>
#include <QMenu>

void MainWindow::createActions()
{
    m_showMainAction = new QAction(tr(__(32047, "显示主界面").c_str()), this);
    connect(m_showMainAction, &QAction::triggered, this, &MainWindow::on_showMainAction);
    m_exitAppAction = new QAction(tr(__(32048, "退出").c_str()), this);
    connect(m_exitAppAction, &QAction::triggered, this, &MainWindow::on_exitAppAction);
}

void MainWindow::createMenu()
{
    m_trayMenu = new QMenu(this);
    m_trayMenu->addAction(m_showMainAction);
    m_trayMenu->addSeparator();
    m_trayMenu->addAction(m_exitAppAction);
    m_sysTrayIcon->setContextMenu(m_trayMenu);
}

void MainWindow::on_activatedSysTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::DoubleClick:
        show();
        break;
    case QSystemTrayIcon::Trigger:
        show();
        showTrayMessage(tr(__(32046, "Title").c_str()), tr("网上银行USB Key管理工具"), 1000);
        break;
    default:
        break;
    }
}

void MainWindow::on_showMainAction()
{
    show();
}

void MainWindow::on_exitAppAction()
{
    emit quitRequested();
}

void MainWindow::myListenEventChange()
{
    // A second start is the user asking for this window: bring it to the front as well.
    show();
    raise();
    activateWindow();
}

bool MainWindow::isOpenURL()
{
    return m_openURL;
}

QString MainWindow::getURL()
{
    return m_url;
}

QString MainWindow::webAddressToOpen()
{
    return m_url.isEmpty() ? QString::fromUtf8(kBankWebAddress) : m_url;
}

void MainWindow::showTrayMessage(const QString& title, const QString& text, int msecs)
{
    if (m_trayObserver)
        m_trayObserver(title, text, msecs);
    if (m_sysTrayIcon)
        m_sysTrayIcon->showMessage(title, text, QSystemTrayIcon::NoIcon, msecs);
}

void MainWindow::setTrayMessageObserver(TrayMessageObserver observer)
{
    m_trayObserver = std::move(observer);
}
