#include "JsonConfig.h"
#include "MainWindow.h"
#include "SystemOptions.h"
#include "testfiles.h"

#include <QtTest>

#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

QJsonObject readJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

}

class TestJsonConfig : public QObject {
    Q_OBJECT

private slots:
    void init();
    void load_data();
    void load();
    void failedLoadKeepsPreviousObject_data();
    void failedLoadKeepsPreviousObject();
    void getFieldOfMissingKeyIsNull();
    void saveCreatesOwnerOnlyDirectoryAndFile();
    void saveKeepsOtherKeys();
    void saveReplacesTheFileInOneStep();
    void saveIntoBlockedDirectoryFails();
    void saveKeepsUnreadableFile_data();
    void saveKeepsUnreadableFile();
    void dialogStartsWithDefaults();
    void dialogRefusesEmptyAddress();
    void dialogAcceptsAddressAndFlag_data();
    void dialogAcceptsAddressAndFlag();
    void dialogCancelReturnsZero();

private:
    QTemporaryDir m_dir;
    QString m_path;
};

void TestJsonConfig::init()
{
    QVERIFY(m_dir.isValid());
    static int n = 0;
    m_path = m_dir.filePath(QString("case%1/.config/app/.cfg").arg(++n));
}

void TestJsonConfig::load_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("loaded");
    QTest::addColumn<QJsonObject>("object");

    QTest::newRow("both keys") << QByteArray(R"({"openURL": false, "URL": "https://a.example/"})") << true
                               << QJsonObject {{"openURL", false}, {"URL", "https://a.example/"}};
    QTest::newRow("empty object") << QByteArray("{}") << true << QJsonObject();
    QTest::newRow("top level array") << QByteArray("[1, 2]") << true << QJsonObject();
    QTest::newRow("malformed") << QByteArray(R"({"openURL": false,)") << false << QJsonObject();
    QTest::newRow("empty file") << QByteArray() << false << QJsonObject();
    QTest::newRow("binary") << QByteArray("\x00\xff\x01", 3) << false << QJsonObject();
    QByteArray huge = "{\"pad\": \"" + QByteArray(JsonConfig::kMaxFileSize, 'x') + "\"}";
    QTest::newRow("larger than the limit") << huge << false << QJsonObject();
}

void TestJsonConfig::load()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, loaded);
    QFETCH(QJsonObject, object);
    QVERIFY(writeFile(m_path, content));
    JsonConfig config(m_path);
    QCOMPARE(config.load(), loaded);
    QCOMPARE(config.object(), object);
}

void TestJsonConfig::failedLoadKeepsPreviousObject_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("removeFile");
    QTest::newRow("file gone") << QByteArray() << true;
    QTest::newRow("malformed") << QByteArray("{nope") << false;
}

void TestJsonConfig::failedLoadKeepsPreviousObject()
{
    QFETCH(QByteArray, second);
    QFETCH(bool, removeFile);
    const QByteArray handWritten = R"({"URL": "https://kept.example/"})";
    QVERIFY(writeFile(m_path, handWritten));
    JsonConfig config(m_path);
    QVERIFY(config.load());
    if (removeFile)
        QVERIFY(QFile::remove(m_path));
    else
        QVERIFY(writeFile(m_path, second));
    QVERIFY(!config.load());
    QCOMPARE(config.getField("URL").toString(), QString("https://kept.example/"));
}

void TestJsonConfig::getFieldOfMissingKeyIsNull()
{
    JsonConfig config(m_path);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("URL"));
    QJsonValue value = config.getField("URL");
    QVERIFY(value.isNull());
    config.updateField("URL", "x");
    QCOMPARE(config.getField("URL").toString(), QString("x"));
}

void TestJsonConfig::saveCreatesOwnerOnlyDirectoryAndFile()
{
    // The daemon runs with a file-creation mask of 0.
    mode_t old = umask(0);
    JsonConfig config(m_path);
    config.updateField("URL", "https://b.example/");
    config.updateField("openURL", true);
    bool saved = config.save();
    umask(old);
    QVERIFY(saved);
    QCOMPARE(modeOf(m_path), mode_t(0600));
    QCOMPARE(modeOf(QFileInfo(m_path).absolutePath()), mode_t(0700));
    QCOMPARE(modeOf(QFileInfo(QFileInfo(m_path).absolutePath()).absolutePath()), mode_t(0700));
    QJsonObject written = readJson(m_path);
    QCOMPARE(written.value("URL").toString(), QString("https://b.example/"));
    QCOMPARE(written.value("openURL").toBool(), true);
}

void TestJsonConfig::saveKeepsOtherKeys()
{
    const QByteArray handWritten = R"({"extra": {"nested": [1, 2]}, "openURL": true, "note": "hand written"})";
    QVERIFY(writeFile(m_path, handWritten));
    JsonConfig config(m_path);
    QVERIFY(config.load());
    config.updateField("openURL", false);
    QVERIFY(config.save());
    QJsonObject written = readJson(m_path);
    QCOMPARE(written.value("openURL").toBool(true), false);
    QCOMPARE(written.value("note").toString(), QString("hand written"));
    QCOMPARE(written.value("extra").toObject().value("nested").toArray().size(), 2);
}

void TestJsonConfig::saveReplacesTheFileInOneStep()
{
    const QByteArray handWritten = R"({"URL": "https://old.example/"})";
    QVERIFY(writeFile(m_path, handWritten));
    struct stat before {};
    QCOMPARE(stat(QFile::encodeName(m_path).constData(), &before), 0);
    JsonConfig config(m_path);
    QVERIFY(config.load());
    config.updateField("URL", "https://new.example/");
    QVERIFY(config.save());
    // Written beside and renamed over: a new file, and nothing left behind in the folder.
    struct stat after {};
    QCOMPARE(stat(QFile::encodeName(m_path).constData(), &after), 0);
    QVERIFY(before.st_ino != after.st_ino);
    QCOMPARE(QDir(QFileInfo(m_path).absolutePath()).entryList(QDir::Files | QDir::Hidden), QStringList {".cfg"});
    QCOMPARE(readJson(m_path).value("URL").toString(), QString("https://new.example/"));
}

void TestJsonConfig::saveIntoBlockedDirectoryFails()
{
    // A regular file where the folder should be: neither the folder nor the file can be made.
    QString folder = QFileInfo(m_path).absolutePath();
    QVERIFY(writeFile(folder, "not a folder"));
    JsonConfig config(m_path);
    config.updateField("openURL", false);
    QVERIFY(!config.save());
    QVERIFY(QFileInfo(folder).isFile());
    QCOMPARE(config.getField("openURL").toBool(true), false);
}

void TestJsonConfig::saveKeepsUnreadableFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("kept");
    QTest::addColumn<bool>("backupBlocked"); // a folder where the copy would go
    QTest::newRow("malformed") << QByteArray(R"({"openURL": false, "URL": )") << true << false;
    QTest::newRow("top level array") << QByteArray("[false]") << true << false;
    QTest::newRow("readable: no copy") << QByteArray(R"({"openURL": false})") << false << false;
    QTest::newRow("copy cannot be made") << QByteArray("{nope") << true << true;
}

void TestJsonConfig::saveKeepsUnreadableFile()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, kept);
    QFETCH(bool, backupBlocked);
    QVERIFY(writeFile(m_path, content));
    JsonConfig config(m_path);
    config.load();
    // One copy: an older one is replaced.
    QVERIFY(backupBlocked ? QDir().mkpath(config.backupPath()) : writeFile(config.backupPath(), "older copy"));
    config.updateField("URL", "https://c.example/");
    if (kept && !backupBlocked)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("was not read .* kept as"));
    const mode_t old = umask(0);
    const bool saved = config.save();
    umask(old);
    QCOMPARE(saved, !backupBlocked);
    if (backupBlocked) {
        QCOMPARE(readFile(m_path), content);
        return;
    }
    QCOMPARE(readJson(m_path).value("URL").toString(), QString("https://c.example/"));
    QCOMPARE(readFile(config.backupPath()), kept ? content : QByteArray("older copy"));
    if (kept)
        QCOMPARE(modeOf(config.backupPath()), mode_t(0600));
}

void TestJsonConfig::dialogStartsWithDefaults()
{
    SystemOptions dialog;
    QCOMPARE(dialog.windowTitle(), QString::fromUtf8("系统选项"));
    QCOMPARE(dialog.findChild<QPushButton*>("btn_ok")->text(), QString("continue"));
    QCOMPARE(dialog.findChild<QPushButton*>("btn_cancel")->text(), QString("cancel"));
    QCOMPARE(dialog.findChild<QLineEdit*>("lineEdit_html")->text(), QString::fromUtf8(kBankWebAddress));
    QVERIFY(dialog.findChild<QRadioButton*>("openHtml")->isChecked());
    QVERIFY(!dialog.findChild<QRadioButton*>("noOpenHtml")->isChecked());
    QVERIFY(dialog.findChild<QLabel*>("msg")->text().isEmpty());
    QCOMPARE(dialog.size(), QSize(323, 216));
    QVERIFY(QString::fromUtf8(kBankWebAddress).contains(".example/"));
}

void TestJsonConfig::dialogRefusesEmptyAddress()
{
    SystemOptions dialog;
    dialog.show();
    dialog.findChild<QLineEdit*>("lineEdit_html")->clear();
    dialog.findChild<QPushButton*>("btn_ok")->click();
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.findChild<QLabel*>("msg")->text(), QString::fromUtf8("请输入网址"));
    QCOMPARE(dialog.getURL(), QString());
}

void TestJsonConfig::dialogAcceptsAddressAndFlag_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("open") << true;
    QTest::newRow("do not open") << false;
}

void TestJsonConfig::dialogAcceptsAddressAndFlag()
{
    QFETCH(bool, open);
    SystemOptions dialog;
    dialog.setIsOpenURL(!open);
    dialog.setIsOpenURL(open);
    QCOMPARE(dialog.findChild<QRadioButton*>("noOpenHtml")->isChecked(), !open);
    dialog.setURL("https://mine.example/path?q=1");
    dialog.show();
    dialog.findChild<QPushButton*>("btn_ok")->click();
    QCOMPARE(dialog.result(), 1);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.getURL(), QString("https://mine.example/path?q=1"));
    QCOMPARE(dialog.getIsOpenURL(), open);
}

void TestJsonConfig::dialogCancelReturnsZero()
{
    SystemOptions dialog;
    dialog.show();
    dialog.findChild<QPushButton*>("btn_cancel")->click();
    QCOMPARE(dialog.result(), 0);
    QCOMPARE(dialog.getURL(), QString());
    QVERIFY(dialog.getIsOpenURL());
}

QTEST_MAIN(TestJsonConfig)
#include "tst_jsonconfig.moc"
