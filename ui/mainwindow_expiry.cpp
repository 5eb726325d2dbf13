// Certificate expiry warning. The body is written by the expiry work.
#include "MainWindow.h"

void MainWindow::certIsValid() {}
