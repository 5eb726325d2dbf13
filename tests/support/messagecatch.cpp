#include "messagecatch.h"

#include "myMessageBox.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

ShownMessage readMessage(const myMessageBox* box)
{
    ShownMessage shown;
    shown.shown = true;
    shown.mode = box->lastMode();
    shown.title = box->windowTitle();
    shown.text = box->findChild<QLabel*>(QStringLiteral("lab_msg"))->text();
    return shown;
}

ShownMessage catchMessages(const std::function<void()>& action, bool rejectOthers)
{
    ShownMessage shown;
    QTimer guard;
    guard.setInterval(20);
    QObject::connect(&guard, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<myMessageBox*>(modal)) {
            const QString other = shown.other;
            shown = readMessage(box);
            shown.other = other;
            box->findChild<QPushButton*>(QStringLiteral("btn_msg_ok"))->click();
        } else if (modal && rejectOthers) {
            shown.other = QString::fromLatin1(modal->metaObject()->className());
            if (auto* dialog = qobject_cast<QDialog*>(modal))
                dialog->reject();
        }
    });
    guard.start();
    action();
    return shown;
}
