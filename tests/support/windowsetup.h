// What every test of the whole window sets before making one: the settings file in the test's home
// and the built-in texts, whatever language files the build staged.
#ifndef KEYMGR_TESTS_WINDOWSETUP_H
#define KEYMGR_TESTS_WINDOWSETUP_H

#include "MainWindow.h"
#include "testfiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

inline bool writeAppSettings(bool openURL, const QString& url = QString())
{
    const QJsonObject settings{{"openURL", openURL}, {"URL", url}};
    return writeFile(QDir::homePath() + "/.config/com.lumeno.tesselkey-norvik/.cfg", QJsonDocument(settings).toJson());
}

inline void useBuiltInTexts()
{
    MainWindow::setLanguageDir(QDir::tempPath() + "/no-language-files");
}

#endif
