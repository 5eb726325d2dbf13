// Device tree, information page and container tree. The bodies are written by the device-tree work.
#include "MainWindow.h"

QString getCtnType(int)
{
    return QString();
}

void MainWindow::slotEventChange() {}

void MainWindow::rebuildDevTree() {}

void MainWindow::chooseDev(QString) {}

void MainWindow::chooseApp(QString) {}

void MainWindow::Dev_App_selected_noindex() {}

void MainWindow::Dev_App_selected(QModelIndex) {}

void MainWindow::Ctn_selected(QModelIndex) {}
