// Input checks and key operations (label, PIN). The bodies are written by the key-operations work.
#include "MainWindow.h"

void MainWindow::btn_keyinfo() {}

void MainWindow::btn_changeLabel() {}

void MainWindow::btn_verifyPin() {}

void MainWindow::btn_changePin() {}

void MainWindow::tab1_newName_Valuechange() {}

void MainWindow::tab1_PIN_Valuechange() {}

void MainWindow::tab1_OldPIN_Valuechange() {}

void MainWindow::tab1_NewPIN_Valuechange() {}

void MainWindow::tab1_ConfirmPIN_Valuechange() {}

void MainWindow::NewLabelEdit_Valuechange() {}

void MainWindow::UnBlockPIN_Valuechange() {}

void MainWindow::ChangeDevAuthKey_Valuechange() {}

void MainWindow::Initialize_Valuechange() {}

void MainWindow::btn_changelabe_ok() {}

void MainWindow::btn_verifyPIN_ok() {}

void MainWindow::btn_changePIN_ok() {}
