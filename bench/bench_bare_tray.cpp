// The yardstick for keymgr's footprint: what any Qt 5 tray program carries, a hidden main window
// and a visible tray icon, and nothing else. With the argument "text" the window also holds one
// line edit, whose construction lays out text and so loads the fonts, as any form with text does.
// Runs until it is killed.
#include <QApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::darkBlue);
    QWidget window;
    window.resize(800, 600);
    if (argc > 1 && QLatin1String(argv[1]) == QLatin1String("text"))
        new QLineEdit(&window);
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("bare"));
    tray.show();
    return QApplication::exec();
}
