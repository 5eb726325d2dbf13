// The file dialogs of the certificate page, replaceable by tests.
#ifndef KEYMGR_CERTFILE_DIALOGS_H
#define KEYMGR_CERTFILE_DIALOGS_H

#include <QString>

#include <functional>

class QWidget;

namespace certfile {

using SaveNameAsker = std::function<QString(QWidget* parent, const QString& caption, const QString& suggested)>;
using OpenNameAsker =
    std::function<QString(QWidget* parent, const QString& caption, const QString& dir, const QString& filter)>;

// The chosen file name, empty when the user cancelled.
QString askSaveFileName(QWidget* parent, const QString& caption, const QString& suggested);
QString askOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter);

// Replaces the dialogs; an empty function restores the standard dialog.
void setFileDialogsForTesting(SaveNameAsker save, OpenNameAsker open);

} // namespace certfile

#endif
