// What every test of the whole window sets before making one (the settings file in the test's home
// and the built-in texts, whatever language files the build staged), and the device rows it shows.
#ifndef KEYMGR_TESTS_WINDOWSETUP_H
#define KEYMGR_TESTS_WINDOWSETUP_H

#include "MainWindow.h"
#include "testfiles.h"
#include "widgets.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTreeView>

inline bool writeAppSettings(bool openURL, const QString& url = QString())
{
    const QJsonObject settings{{"openURL", openURL}, {"URL", url}};
    return writeFile(QDir::homePath() + "/.config/com.lumeno.tesselkey-norvik/.cfg", QJsonDocument(settings).toJson());
}

inline void useBuiltInTexts()
{
    MainWindow::setLanguageDir(QDir::tempPath() + "/no-language-files");
}

// The names of the device tree's top rows, in order.
inline QStringList listedDevices(const QWidget* window)
{
    const QAbstractItemModel* model = child<QTreeView>(window, "treeView_Dev")->model();
    QStringList names;
    for (int r = 0; r < model->rowCount(); ++r)
        names << model->index(r, 0).data().toString();
    return names;
}

// The device tree's row of the named token; invalid when it is not listed.
inline QModelIndex deviceRow(const QWidget* window, const QString& name)
{
    const int row = listedDevices(window).indexOf(name);
    return row < 0 ? QModelIndex() : child<QTreeView>(window, "treeView_Dev")->model()->index(row, 0);
}

#endif
