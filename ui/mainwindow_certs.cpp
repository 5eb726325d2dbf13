// Certificate import, export and viewing, container deletion and clean-up. The bodies are written
// by the certificate work.
#include "MainWindow.h"

void MainWindow::btn_importCert() {}

void MainWindow::btn_exportCert() {}

void MainWindow::btn_viewCert() {}

void MainWindow::openCurrentNodeCTN(int) {}

void MainWindow::viewCertificate(bool) {}

void MainWindow::btn_deleteCtn() {}

void MainWindow::on_btn_clearEmptyCtn_clicked() {}
