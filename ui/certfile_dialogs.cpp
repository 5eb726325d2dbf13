#include "certfile_dialogs.h"

#include <QFileDialog>

namespace certfile {

namespace {

SaveNameAsker& saveAsker()
{
    static SaveNameAsker asker;
    return asker;
}

OpenNameAsker& openAsker()
{
    static OpenNameAsker asker;
    return asker;
}

} // namespace

QString askSaveFileName(QWidget* parent, const QString& caption, const QString& suggested)
{
    if (saveAsker())
        return saveAsker()(parent, caption, suggested);
    return QFileDialog::getSaveFileName(parent, caption, suggested);
}

QString askOpenFileName(QWidget* parent, const QString& caption, const QString& dir, const QString& filter)
{
    if (openAsker())
        return openAsker()(parent, caption, dir, filter);
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

void setFileDialogsForTesting(SaveNameAsker save, OpenNameAsker open)
{
    saveAsker() = std::move(save);
    openAsker() = std::move(open);
}

} // namespace certfile
