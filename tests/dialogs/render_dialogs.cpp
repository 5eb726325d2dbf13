// Draws every dialog and every message layout to PNG files, for a look by eye:
//     render_dialogs <output folder> [<language folder>]
// The built-in texts go to the output folder itself; with a language folder, each language file found
// there (olvane_<id>.lng) is drawn again into <output folder>/<id>/. Each picture carries a band on top
// with the window title, which the offscreen platform draws no frame for.
#include "SetPin.h"
#include "VerifyPin.h"
#include "messages.h"
#include "multilang.h"
#include "myMessageBox.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTextStream>

#include <cstdio>

namespace {

bool save(QWidget* dialog, const QString& path)
{
    dialog->show();
    QApplication::processEvents();
    const QPixmap content = dialog->grab();
    const int band = 26;
    QImage picture(content.width(), content.height() + band, QImage::Format_RGB32);
    picture.fill(QColor(0x3c, 0x3f, 0x41));
    QPainter painter(&picture);
    painter.setPen(Qt::white);
    painter.drawText(QRect(8, 0, content.width() - 16, band), Qt::AlignVCenter | Qt::AlignLeft,
                     dialog->windowTitle() + QStringLiteral("   [%1x%2]").arg(dialog->width()).arg(dialog->height()));
    painter.drawPixmap(0, band, content);
    painter.end();
    dialog->hide();
    if (!picture.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

template <typename T> void typeInto(QWidget* dialog, const char* name, const QString& text)
{
    if (T* edit = dialog->findChild<T*>(QString::fromLatin1(name)))
        edit->setText(text);
}

bool renderAll(const QDir& out)
{
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return false;
    }
    bool ok = true;
    myMessageBox box;
    std::size_t count = 0;
    const messages::ModeEntry* modes = messages::allModes(&count);
    // Every mode of the dialog's table, then one it does not know.
    for (std::size_t i = 0; i <= count; ++i) {
        const unsigned mode = i < count ? modes[i].mode : 1234;
        box.setWarnMode(mode, 9003, 3);
        if (myMessageBox::isChangeFormMode(mode))
            typeInto<QLineEdit>(&box, "OldPIN_Edit", QStringLiteral("57239184"));
        ok = save(&box, out.filePath(QStringLiteral("message-%1.png").arg(mode))) && ok;
    }

    {
        SetPin dlg(nullptr);
        ok = save(&dlg, out.filePath(QStringLiteral("setpin.png"))) && ok;
        typeInto<QLineEdit>(&dlg, "oldPIN_edit", QStringLiteral("57239184"));
        typeInto<QLineEdit>(&dlg, "newPIN_edit", QStringLiteral("abc123"));
        typeInto<QLineEdit>(&dlg, "confirmPIN_edit", QStringLiteral("abc124"));
        dlg.findChild<QPushButton*>(QStringLiteral("btn_ok"))->click();
        ok = save(&dlg, out.filePath(QStringLiteral("setpin-confirm-error.png"))) && ok;
        typeInto<QLineEdit>(&dlg, "newPIN_edit", QStringLiteral("123456"));
        typeInto<QLineEdit>(&dlg, "confirmPIN_edit", QStringLiteral("123456"));
        dlg.findChild<QPushButton*>(QStringLiteral("btn_ok"))->click();
        ok = save(&dlg, out.filePath(QStringLiteral("setpin-rule.png"))) && ok;
    }
    {
        VerifyPin dlg(nullptr);
        typeInto<QLineEdit>(&dlg, "lineEdit_pin", QStringLiteral("1234"));
        ok = save(&dlg, out.filePath(QStringLiteral("verifypin.png"))) && ok;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <output folder> [<language folder>]\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    bool ok = renderAll(out);
    if (argc == 3) {
        tessel::ml_setPath(argv[2]);
        tessel::ml_setPrefix("olvane");
        for (unsigned long id : {2052ul, 1028ul, 1033ul}) {
            if (!tessel::ml_setCodePage(id)) {
                std::fprintf(stderr, "no language file %lu in %s\n", id, argv[2]);
                ok = false;
                continue;
            }
            ok = renderAll(QDir(out.filePath(QString::number(id)))) && ok;
        }
    }
    return ok ? 0 : 1;
}
