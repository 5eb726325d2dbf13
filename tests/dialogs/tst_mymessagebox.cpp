#include "modaldriver.h"
#include "multilang.h"
#include "myMessageBox.h"

#include "widgets.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

namespace {

const char* const kFormWidgets[] = {"lab_tips",       "lab_changePIN_2", "lab_oldPIN",  "lab_newPIN",
                                    "lab_confirmPIN", "OldPIN_Edit",     "NewPIN_Edit", "ConfirmPIN_Edit"};

enum Layout { Ok, Two, Form };

bool shown(QWidget* dialog, const char* name)
{
    return child(dialog, name)->isVisibleTo(dialog);
}

bool validUtf8(const std::string& s)
{
    const QByteArray bytes = QByteArray::fromStdString(s);
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

} // namespace

class TestMyMessageBox : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void modes_data();
    void modes();
    void titles_data();
    void titles();
    void labelTooLongForcesTitle_data();
    void labelTooLongForcesTitle();
    void wrongPinFormatsTries_data();
    void wrongPinFormatsTries();
    void wrongPinCatalogueFormat_data();
    void wrongPinCatalogueFormat();
    void longCatalogueTextIsCutAtCharacter();
    void clipUtf8_data();
    void clipUtf8();

    void windowFlags();
    void form();
    void captions();
    void formLabelsShowTheirWholeText();
    void centred();

    void execResults_data();
    void execResults();
    void buttonsReachableInEveryLayout_data();
    void buttonsReachableInEveryLayout();
    void reopenChangesPinEmptiesFields();
    void twoDialogsKeepTheirCaptions();
};

void TestMyMessageBox::cleanup()
{
    // Back to the built-in texts after a test that loaded a catalogue.
    tessel::ml_loadData("");
}

void TestMyMessageBox::modes_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("layout");

    struct Row
    {
        uint mode;
        const char* text;
        Layout layout;
    };
    // A few modes of each layout and the numbers just outside: the modes an action's result shows are
    // tested with the result table (tst_keyopstext).
    const Row rows[] = {
        {2002, "The password entered is not long enough", Two},
        {2029, "You are initializing Ukey, which will clear all data on Ukey. Do you want to continue?", Two},
        {2031, "", Form},
        {2032, "密码设置规则:6-16位字母+数字，示例:kv3939", Ok},
        {2034, "", Form},
        {3000, "U Shield name is too long, please re-enter within 30 characters in length U Shield new name", Ok},
        {4001, "It will be deleted!\r\nPlease make sure you want to continue this operation", Two},
        // Outside the table: no text, the single button.
        {0, "", Ok},
        {1999, "", Ok},
        {2010, "", Ok},
        {2035, "", Ok},
        {9013, "", Ok},
        {4294967295u, "", Ok},
    };
    for (const Row& r : rows)
        QTest::addRow("%u", r.mode) << r.mode << QString::fromUtf8(r.text) << int(r.layout);
}

void TestMyMessageBox::modes()
{
    QFETCH(uint, mode);
    QFETCH(QString, text);
    QFETCH(int, layout);

    myMessageBox box;
    // Start from the other layout so that every switch is exercised.
    box.setWarnMode(layout == Form ? 2000 : 2031, 9002, 0);
    // A PIN left in the form never survives the next mode, shown or hidden.
    for (const char* edit : {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit"})
        child<QLineEdit>(&box, edit)->setText(QString::fromLatin1("Left") + edit);
    box.setWarnMode(mode, 9002, 0);

    QCOMPARE(box.showsCancel(), layout == Two);
    QCOMPARE(box.showsChangeForm(), layout == Form);
    QCOMPARE(shown(&box, "btn_msg_cancel"), layout == Two);
    QVERIFY(shown(&box, "btn_msg_ok"));
    QVERIFY(child<QPushButton>(&box, "btn_msg_ok")->text().isEmpty());
    QVERIFY(child<QPushButton>(&box, "btn_msg_cancel")->text().isEmpty());
    QCOMPARE(myMessageBox::okCaption()->text(), layout == Two ? QString("continue") : QString("确认"));
    if (layout == Two)
        QCOMPARE(myMessageBox::cancelCaption()->text(), QString("cancel"));

    QCOMPARE(child<QLabel>(&box, "lab_msg")->text(), text);
    QCOMPARE(shown(&box, "lab_msg"), layout != Form);
    for (const char* name : kFormWidgets)
        QVERIFY2(shown(&box, name) == (layout == Form), name);

    const QSize expected = layout == Form ? QSize(760, 540) : QSize(380, 270);
    QCOMPARE(box.size(), expected);
    QCOMPARE(box.minimumSize(), box.maximumSize());
    if (layout == Form)
        QCOMPARE(child<QLabel>(&box, "lab_changePIN_2")->text(), QString("修改用户USBKEY密码"));
    for (const char* edit : {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit"})
        QVERIFY(child<QLineEdit>(&box, edit)->text().isEmpty());
    QCOMPARE(box.windowTitle(), mode == 3000 ? QString("Change Label") : QString("Verify PIN"));
}

void TestMyMessageBox::titles_data()
{
    QTest::addColumn<uint>("titleId");
    QTest::addColumn<QString>("title");
    // The numbers around the table and in its gap get the default; the titles of the actions are tested
    // with the result table (tst_keyopstext).
    const QPair<uint, const char*> rows[] = {{9000, "U Key"}, {9011, "U Key"}, {9014, "U Key"}, {0, "U Key"}};
    for (const auto& r : rows)
        QTest::addRow("%u", r.first) << r.first << QString::fromUtf8(r.second);
}

void TestMyMessageBox::titles()
{
    QFETCH(uint, titleId);
    QFETCH(QString, title);
    myMessageBox box;
    for (uint mode : {2001u, 2031u, 4001u}) {
        box.setWarnMode(mode, titleId, 0);
        QCOMPARE(box.windowTitle(), title);
    }
}

void TestMyMessageBox::labelTooLongForcesTitle_data()
{
    QTest::addColumn<uint>("titleId");
    for (uint id : {9001u, 9003u, 9005u, 9011u, 0u})
        QTest::addRow("%u", id) << id;
}

void TestMyMessageBox::labelTooLongForcesTitle()
{
    QFETCH(uint, titleId);
    myMessageBox box;
    box.setWarnMode(3000, titleId, 0);
    QCOMPARE(box.windowTitle(), QString("Change Label"));
    QCOMPARE(child<QLabel>(&box, "lab_msg")->text(),
             QString("U Shield name is too long, please re-enter within 30 characters in length U Shield new name"));
    QVERIFY(!box.showsCancel());
}

void TestMyMessageBox::wrongPinFormatsTries_data()
{
    QTest::addColumn<uint>("tries");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0u << "Failure in verifying RUZ-Ururov password 0";
    QTest::newRow("3") << 3u << "Failure in verifying RUZ-Ururov password 3";
    QTest::newRow("15") << 15u << "Failure in verifying RUZ-Ururov password 15";
}

void TestMyMessageBox::wrongPinFormatsTries()
{
    QFETCH(uint, tries);
    QFETCH(QString, text);
    myMessageBox box;
    box.setWarnMode(2009, 9002, tries);
    QCOMPARE(child<QLabel>(&box, "lab_msg")->text(), text);
    QCOMPARE(box.windowTitle(), QString("Verify PIN"));
    QVERIFY(!shown(&box, "btn_msg_cancel"));
    QCOMPARE(myMessageBox::okCaption()->text(), QString("确认"));
    // value is used by mode 2009 only
    box.setWarnMode(2000, 9002, tries);
    QCOMPARE(child<QLabel>(&box, "lab_msg")->text(), QString("Successfully verify the RUZ-Ururov password"));
}

void TestMyMessageBox::wrongPinCatalogueFormat_data()
{
    QTest::addColumn<QString>("catalogueText");
    QTest::addColumn<QString>("shown");
    QTest::newRow("translated") << "密码错误，还剩%d次"
                                << "密码错误，还剩4次";
    QTest::newRow("string conversion") << "wrong %s"
                                       << "Failure in verifying RUZ-Ururov password 4";
    QTest::newRow("two conversions") << "wrong %d of %d"
                                     << "Failure in verifying RUZ-Ururov password 4";
    QTest::newRow("no conversion") << "wrong PIN"
                                   << "Failure in verifying RUZ-Ururov password 4";
    QTest::newRow("write conversion") << "wrong %n"
                                      << "Failure in verifying RUZ-Ururov password 4";
}

void TestMyMessageBox::wrongPinCatalogueFormat()
{
    QFETCH(QString, catalogueText);
    QFETCH(QString, shown);
    const QByteArray file =
        "[settings]\nCodePage=936\nLanguage=Test\n[strings]\n30040=" + catalogueText.toUtf8() + "\n30071=Token\n";
    QVERIFY(tessel::ml_loadData(file.constData()));
    myMessageBox box;
    box.setWarnMode(2009, 9011, 4);
    QCOMPARE(child<QLabel>(&box, "lab_msg")->text(), shown);
    QCOMPARE(box.windowTitle(), QString("Token"));
}

void TestMyMessageBox::longCatalogueTextIsCutAtCharacter()
{
    // 700 three-byte characters and one letter in front: 2101 bytes, and byte 2047 falls inside a character.
    QByteArray text = "x";
    for (int i = 0; i < 700; ++i)
        text += "密";
    const QByteArray file = "[settings]\nCodePage=936\nLanguage=Test\n[strings]\n30043=" + text + "\n";
    QVERIFY(tessel::ml_loadData(file.constData()));
    myMessageBox box;
    box.setWarnMode(7000, 9003, 0);
    const QByteArray shownText = child<QLabel>(&box, "lab_msg")->text().toUtf8();
    QCOMPARE(shownText.size(), 1 + 682 * 3);
    QVERIFY(text.startsWith(shownText));
    QVERIFY(!shownText.contains("\xEF\xBF\xBD"));
}

void TestMyMessageBox::clipUtf8_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("maxBytes");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("fits") << QByteArray("abc") << 3 << QByteArray("abc");
    QTest::newRow("ascii cut") << QByteArray("abcd") << 3 << QByteArray("abc");
    QTest::newRow("two-byte split") << QByteArray("ab\xC3\xA9") << 3 << QByteArray("ab");
    QTest::newRow("two-byte whole") << QByteArray("a\xC3\xA9z") << 3 << QByteArray("a\xC3\xA9");
    QTest::newRow("three-byte split 1") << QByteArray("a\xE5\xAF\x86") << 2 << QByteArray("a");
    QTest::newRow("three-byte split 2") << QByteArray("a\xE5\xAF\x86") << 3 << QByteArray("a");
    QTest::newRow("three-byte whole") << QByteArray("a\xE5\xAF\x86z") << 4 << QByteArray("a\xE5\xAF\x86");
    QTest::newRow("four-byte split 3") << QByteArray("\xF0\x9F\x94\x91") << 3 << QByteArray("");
    QTest::newRow("four-byte whole") << QByteArray("\xF0\x9F\x94\x91z") << 4 << QByteArray("\xF0\x9F\x94\x91");
    QTest::newRow("zero") << QByteArray("abc") << 0 << QByteArray("");
}

void TestMyMessageBox::clipUtf8()
{
    QFETCH(QByteArray, text);
    QFETCH(int, maxBytes);
    QFETCH(QByteArray, expected);
    const std::string out = myMessageBox::clipUtf8(text.toStdString(), std::size_t(maxBytes));
    QCOMPARE(QByteArray::fromStdString(out), expected);
    QVERIFY(validUtf8(out));
}

void TestMyMessageBox::windowFlags()
{
    myMessageBox box;
    const Qt::WindowFlags flags = box.windowFlags();
    // A customised frame whose only title-bar button is the close button; Qt itself adds the title
    // bar and system menu a close button needs.
    QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    for (Qt::WindowType absent : {Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint,
                                  Qt::WindowContextHelpButtonHint, Qt::FramelessWindowHint, Qt::WindowStaysOnTopHint}) {
        QVERIFY(!flags.testFlag(absent));
    }
    QCOMPARE(box.windowType(), Qt::Dialog);
    QVERIFY(box.isWindow());

    // Still a window of its own when given a parent.
    QWidget parent;
    myMessageBox child(&parent);
    QVERIFY(child.isWindow());
}

void TestMyMessageBox::form()
{
    myMessageBox box;
    box.setWarnMode(2031, 9003, 0);

    for (const char* name : {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit"}) {
        QLineEdit* edit = child<QLineEdit>(&box, name);
        // 16 characters, as the hint and every other PIN field say.
        QCOMPARE(edit->maxLength(), 16);
        QCOMPARE(edit->echoMode(), QLineEdit::Password);
        QTest::keyClicks(edit, "abcdefghij0123456789");
        QCOMPARE(edit->text(), QString("abcdefghij012345"));
    }

    QCOMPARE(child<QLabel>(&box, "lab_oldPIN")->text(),
             QString("当前用户USBKEY密码(如您还未修改过，则为初始密码57239184):"));
    QCOMPARE(child<QLabel>(&box, "lab_newPIN")->text(), QString("新的USBKEY密码(6-16位数字及字母):"));
    QCOMPARE(child<QLabel>(&box, "lab_confirmPIN")->text(), QString("确认新的USBKEY密码:"));

    QLabel* tips = child<QLabel>(&box, "lab_tips");
    QCOMPARE(tips->textFormat(), Qt::RichText);
    QTextDocument doc;
    doc.setHtml(tips->text());
    QCOMPARE(doc.blockCount(), 2);
    QCOMPARE(doc.firstBlock().text(),
             QString("为保障您在企业网银的交易安全，请修改USBKEY密码，否则将无法使用USBKEY进行网上交易。"));
    QCOMPARE(doc.lastBlock().text(), QString("密码设置规则:6-16位字母+数字，示例:kv3939"));

    // Tab order: the three fields, then OK, then cancel.
    const char* const order[] = {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit", "btn_msg_ok", "btn_msg_cancel"};
    for (int i = 0; i + 1 < 5; ++i) {
        QWidget* next = child(&box, order[i])->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus && next != child(&box, order[i + 1]))
            next = next->nextInFocusChain();
        QVERIFY2(next == child(&box, order[i + 1]), order[i]);
    }
}

void TestMyMessageBox::captions()
{
    myMessageBox box;
    box.setWarnMode(4001, 9008, 0);
    const struct
    {
        QLabel* label;
        const char* button;
    } pairs[] = {{myMessageBox::okCaption(), "btn_msg_ok"}, {myMessageBox::cancelCaption(), "btn_msg_cancel"}};
    for (const auto& p : pairs) {
        QVERIFY(p.label);
        QPushButton* button = child<QPushButton>(&box, p.button);
        QCOMPARE(p.label->parentWidget(), button);
        QVERIFY(button->text().isEmpty());
        // A click on the caption lands on the button.
        QCOMPARE(box.childAt(button->mapTo(&box, button->rect().center())), button);
    }
}

void TestMyMessageBox::formLabelsShowTheirWholeText()
{
    myMessageBox box;
    box.setWarnMode(2031, 9003, 0);
    for (const char* name : {"lab_changePIN_2", "lab_oldPIN", "lab_newPIN", "lab_confirmPIN"}) {
        QLabel* label = child<QLabel>(&box, name);
        QVERIFY2(label->width() >= label->sizeHint().width(), name);
        QVERIFY2(label->geometry().right() < 760, name);
    }
}

void TestMyMessageBox::centred()
{
    myMessageBox box;
    const QRect desktop = QApplication::desktop()->geometry();
    for (uint mode : {2000u, 2031u}) {
        box.setWarnMode(mode, 9003, 0);
        QCOMPARE(box.pos(), QPoint((desktop.width() - box.width()) / 2, (desktop.height() - box.height()) / 2));
    }
}

void TestMyMessageBox::execResults_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("result");
    for (uint mode : {2002u, 2003u, 2004u, 2029u, 2030u, 4001u}) {
        QTest::addRow("%u cancel", mode) << mode << "btn_msg_cancel" << 1;
        QTest::addRow("%u continue", mode) << mode << "btn_msg_ok" << 0;
        QTest::addRow("%u close", mode) << mode << "close" << 0;
        QTest::addRow("%u esc", mode) << mode << "esc" << 0;
    }
    // Closing the change form is told apart from its OK, so that the form can be left.
    for (uint mode : {2000u, 2009u, 7000u, 1234u, 2031u, 2034u}) {
        const int closed = mode == 2031u || mode == 2034u ? myMessageBox::kFormClosed : 0;
        QTest::addRow("%u ok", mode) << mode << "btn_msg_ok" << 0;
        QTest::addRow("%u close", mode) << mode << "close" << closed;
        QTest::addRow("%u esc", mode) << mode << "esc" << closed;
    }
}

void TestMyMessageBox::execResults()
{
    QFETCH(uint, mode);
    QFETCH(QString, action);
    QFETCH(int, result);
    myMessageBox box;
    // A dialog that was answered once answers again the same way.
    for (int round = 0; round < 2; ++round) {
        box.setWarnMode(mode, 9008, 0);
        ModalDriver driver;
        if (action == "close")
            driver.close();
        else if (action == "esc")
            driver.escape();
        else
            driver.click(action);
        QCOMPARE(box.exec(), result);
        QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
        QVERIFY(!box.isVisible());
    }
}

void TestMyMessageBox::buttonsReachableInEveryLayout_data()
{
    QTest::addColumn<uint>("mode");
    QTest::addColumn<QString>("button");
    QTest::newRow("ok alone") << 2001u << "btn_msg_ok";
    QTest::newRow("continue") << 2030u << "btn_msg_ok";
    QTest::newRow("cancel") << 2030u << "btn_msg_cancel";
    QTest::newRow("form ok") << 2031u << "btn_msg_ok";
}

void TestMyMessageBox::buttonsReachableInEveryLayout()
{
    QFETCH(uint, mode);
    QFETCH(QString, button);
    myMessageBox box;
    box.setWarnMode(mode, 9003, 0);
    QPushButton* b = box.findChild<QPushButton*>(button);
    const QRect r(b->mapTo(&box, QPoint(0, 0)), b->size());
    QVERIFY2(box.rect().contains(r), qPrintable(QString("%1 at %2,%3").arg(button).arg(r.x()).arg(r.y())));
    // The buttons clear the message text.
    if (!box.showsChangeForm())
        QVERIFY(!r.intersects(child(&box, "lab_msg")->geometry()));
    // The two buttons never overlap.
    if (box.showsCancel())
        QVERIFY(!child(&box, "btn_msg_ok")->geometry().intersects(child(&box, "btn_msg_cancel")->geometry()));
}

void TestMyMessageBox::reopenChangesPinEmptiesFields()
{
    myMessageBox box;
    ModalDriver driver;
    driver.type("OldPIN_Edit", "57239184").type("NewPIN_Edit", "abc123").type("ConfirmPIN_Edit", "abc123");
    driver.inspect(
        [](QWidget* dialog) { QCOMPARE(dialog->findChild<QLineEdit*>("NewPIN_Edit")->text(), QString("abc123")); });
    driver.click("btn_msg_ok");
    box.reopen_changes_PIN();
    QVERIFY2(driver.ok(), qPrintable(driver.errors().join('\n')));
    QCOMPARE(driver.lastSeen().windowTitle, QString("Change PIN"));
    QVERIFY(box.showsChangeForm());
    for (const char* edit : {"OldPIN_Edit", "NewPIN_Edit", "ConfirmPIN_Edit"})
        QVERIFY(child<QLineEdit>(&box, edit)->text().isEmpty());
}

void TestMyMessageBox::twoDialogsKeepTheirCaptions()
{
    auto* first = new myMessageBox;
    myMessageBox second;
    delete first;
    second.setWarnMode(4001, 9008, 0);
    QPushButton* ok = child<QPushButton>(&second, "btn_msg_ok");
    QLabel* caption = ok->findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(caption);
    QCOMPARE(caption->text(), QString("continue"));
    QCOMPARE(myMessageBox::okCaption(), caption);
}

QTEST_MAIN(TestMyMessageBox)
#include "tst_mymessagebox.moc"
