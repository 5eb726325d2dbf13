// Finds a named widget under a window or dialog; a missing one ends the test program with its name,
// since every later step would only fail less clearly.
#ifndef KEYMGR_TESTS_WIDGETS_H
#define KEYMGR_TESTS_WIDGETS_H

#include <QObject>
#include <QString>
#include <QWidget>

template <typename T = QWidget> T* child(const QObject* parent, const QString& name)
{
    T* widget = parent->findChild<T*>(name);
    if (!widget)
        qFatal("no %s named %s", T::staticMetaObject.className(), qPrintable(name));
    return widget;
}

#endif
