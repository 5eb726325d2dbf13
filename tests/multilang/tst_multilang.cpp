#include "multilang.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

using tessel::MultiLanguage;

Q_DECLARE_METATYPE(std::string)

namespace {

const char kValidFile[] = "[settings]\nCodePage=936\nLanguage=Test\n[strings]\n32033=Ansehen\n";

// Constructed before the catalogue, so destroyed after it at exit: lookups made then must
// answer with their defaults without touching the destroyed catalogue.
struct ExitProbe {
    ~ExitProbe()
    {
        if (::__(32033, "View") != "View" || tessel::ml_getCodePage() != 1033 || tessel::ml_getInstance()) {
            std::fprintf(stderr, "lookup after the catalogue's destruction did not give the default\n");
            std::_Exit(1);
        }
    }
} g_exitProbe;

} // namespace

class TestMultiLanguage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void sysLanguage_data();
    void sysLanguage();
    void fileName_data();
    void fileName();
    void emptyPathLoadsNothing();
    void loadValidation_data();
    void loadValidation();
    void absentIdGivesDefault();
    void fontSettings();
    void codePageComesFromTheFile();
    void getNumber_data();
    void getNumber();
    void initializeNeedsPathPrefixAndCodePage();
    void initializeFromWorkingDirectory_data();
    void initializeFromWorkingDirectory();
    void initializeRetriesEnglish();
    void wrappersCutAtNul();
    void safeFormat_data();
    void safeFormat();
    void formatNumber_data();
    void formatNumber();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
};

void TestMultiLanguage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The first lookup, before any language is chosen, tries the lazy load once and falls back.
    QCOMPARE(::__(32033, "View"), std::string("View"));
    MultiLanguage* ml = tessel::ml_getInstance();
    QVERIFY(ml);
    QVERIFY(ml->IsInitialized());
    QVERIFY(!ml->IsLoaded());
    QVERIFY(ml->UseDefaults());
    QCOMPARE(::__(1000, nullptr), std::string());
}

void TestMultiLanguage::sysLanguage_data()
{
    QTest::addColumn<bool>("set");
    QTest::addColumn<QByteArray>("lang");
    QTest::addColumn<int>("id");
    QTest::newRow("zh_CN.UTF-8") << true << QByteArray("zh_CN.UTF-8") << 2052;
    QTest::newRow("zh_cn.gbk") << true << QByteArray("zh_cn.gbk") << 2052;
    QTest::newRow("zh_TW.Big5") << true << QByteArray("zh_TW.Big5") << 1028;
    QTest::newRow("zh_tw.utf8") << true << QByteArray("zh_tw.utf8") << 1028;
    QTest::newRow("en_US.UTF-8") << true << QByteArray("en_US.UTF-8") << 1033;
    QTest::newRow("C") << true << QByteArray("C") << 1033;
    QTest::newRow("zh_CN without dot") << true << QByteArray("zh_CN") << 1033;
    QTest::newRow("zh_CN with modifier") << true << QByteArray("zh_CN@cjk") << 1033;
    QTest::newRow("upper-case ZH_CN.") << true << QByteArray("ZH_CN.UTF-8") << 1033;
    QTest::newRow("zh_HK.UTF-8") << true << QByteArray("zh_HK.UTF-8") << 1033;
    QTest::newRow("empty") << true << QByteArray("") << 1033;
    QTest::newRow("unset") << false << QByteArray() << 1033;
}

void TestMultiLanguage::sysLanguage()
{
    QFETCH(bool, set);
    QFETCH(QByteArray, lang);
    QFETCH(int, id);
    QByteArray saved = qgetenv("LANG");
    if (set)
        qputenv("LANG", lang);
    else
        qunsetenv("LANG");
    int result = wx_getSysLanguage();
    qputenv("LANG", saved);
    QCOMPARE(result, id);
}

// The folder as set, and where the file for id 2052 must be for the load to find it.
void TestMultiLanguage::fileName_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("file");
    QTest::newRow("plain folder") << "a/b" << "a/b/olvane_2052.lng";
    QTest::newRow("folder ending in slash") << "c/" << "c/olvane_2052.lng";
    QTest::newRow("folder ending in backslash") << "d\\" << "d\\olvane_2052.lng";
}

void TestMultiLanguage::fileName()
{
    QFETCH(QString, path);
    QFETCH(QString, file);
    QString root = m_dir.path() + "/names/" + QTest::currentDataTag();
    QVERIFY(writeFile(root + "/" + file, QByteArray(kValidFile)));
    MultiLanguage ml;
    ml.SetPath((root + "/" + path).toStdString());
    ml.SetPrefix("olvane");
    QVERIFY(!ml.SetCodePage(1028));
    QVERIFY(ml.SetCodePage(2052));
    QVERIFY(ml.IsLoaded());
    QCOMPARE(ml.GetString(32033, "View"), std::string("Ansehen"));
}

void TestMultiLanguage::emptyPathLoadsNothing()
{
    MultiLanguage ml;
    ml.SetPrefix("olvane");
    QVERIFY(!ml.SetCodePage(2052));
    QCOMPARE(ml.GetCodePage(), 1033UL);
    QVERIFY(ml.UseDefaults());
    QVERIFY(!ml.IsInitialized());
}

void TestMultiLanguage::loadValidation_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<bool>("loads");
    QTest::newRow("valid") << std::string(kValidFile) << true;
    QTest::newRow("strings empty but present")
        << std::string("[settings]\nCodePage=936\nLanguage=Test\n[strings]\n; none\n[x]\n32033=Ansehen\n") << true;
    QTest::newRow("no strings section")
        << std::string("[settings]\nCodePage=936\nLanguage=Test\n[string]\n32033=Ansehen\n") << false;
    QTest::newRow("no Language") << std::string("[settings]\nCodePage=936\n[strings]\n32033=Ansehen\n") << false;
    QTest::newRow("no CodePage") << std::string("[settings]\nLanguage=Test\n[strings]\n32033=Ansehen\n") << false;
    QTest::newRow("no settings") << std::string("[strings]\n32033=Ansehen\n") << false;
    QTest::newRow("duplicate id") << std::string(kValidFile) + "32033=Again\n" << false;
    QTest::newRow("empty section name") << std::string(kValidFile) + "[]\n" << false;
    QTest::newRow("empty text") << std::string() << false;
}

void TestMultiLanguage::loadValidation()
{
    QFETCH(std::string, text);
    QFETCH(bool, loads);
    QVERIFY(tessel::ml_loadData(kValidFile));
    QCOMPARE(tessel::ml_loadData(text.c_str()), loads);
    MultiLanguage* ml = tessel::ml_getInstance();
    QCOMPARE(ml->IsLoaded(), loads);
    QCOMPARE(ml->UseDefaults(), !loads);
    bool hasText = loads && text.find("[strings]\n32033") != std::string::npos;
    QCOMPARE(::__(32033, "View"), std::string(hasText ? "Ansehen" : "View"));
    QCOMPARE(tessel::ml_getCodePage(), loads ? 936UL : 1033UL);
    QCOMPARE(tessel::ml_getLanguageName(), std::string(loads ? "Test" : "English"));
}

void TestMultiLanguage::absentIdGivesDefault()
{
    QVERIFY(tessel::ml_loadData(kValidFile));
    QCOMPARE(::__(32033, "View"), std::string("Ansehen"));
    QCOMPARE(::__(32034, "Export"), std::string("Export"));
    QCOMPARE(::___("32033", "View"), std::string("Ansehen"));
    QCOMPARE(::___("CodePage", "none"), std::string("none"));
    QCOMPARE(tessel::ml_getInstance()->GetString("32034", "Export"), std::string("Export"));
}

void TestMultiLanguage::fontSettings()
{
    QVERIFY(tessel::ml_loadData(
        "[settings]\nCodePage=936\nLanguage=Test\nFontFace=WenQuanYi Micro Hei\nFontHeight=12\n[strings]\n"));
    QCOMPARE(tessel::ml_getFontFaceName(), std::string("WenQuanYi Micro Hei"));
    QCOMPARE(tessel::ml_getFontHeight(), 12UL);
    QVERIFY(tessel::ml_loadData(kValidFile));
    QCOMPARE(tessel::ml_getFontFaceName(), std::string("Tahoma"));
    QCOMPARE(tessel::ml_getFontHeight(), 8UL);

    // A file that fails after setting its font leaves no trace of it.
    QVERIFY(!tessel::ml_loadData("[settings]\nCodePage=936\nLanguage=Test\nFontFace=Bad\nFontHeight=30\n"));
    QCOMPARE(tessel::ml_getFontFaceName(), std::string("Tahoma"));
    QCOMPARE(tessel::ml_getFontHeight(), 8UL);
}

void TestMultiLanguage::codePageComesFromTheFile()
{
    QString dir = m_dir.path() + "/codepage";
    QVERIFY(writeFile(dir + "/olvane_2052.lng", QByteArray(kValidFile)));
    tessel::ml_setPath(dir.toStdString());
    tessel::ml_setPrefix("olvane");
    QVERIFY(tessel::ml_setCodePage(2052));
    QCOMPARE(tessel::ml_getCodePage(), 936UL);
    QCOMPARE(::__(32033, "View"), std::string("Ansehen"));

    QVERIFY(!wx_ml_setCodePage(1028));
    QCOMPARE(tessel::ml_getCodePage(), 1033UL);
    QCOMPARE(tessel::ml_getLanguageName(), std::string("English"));
    QCOMPARE(::__(32033, "View"), std::string("View"));
}

void TestMultiLanguage::getNumber_data()
{
    QTest::addColumn<std::string>("line");
    QTest::addColumn<qulonglong>("number");
    QTest::newRow("decimal") << std::string("n=936") << qulonglong(936);
    QTest::newRow("trailing text ignored") << std::string("n=12abc") << qulonglong(12);
    QTest::newRow("not a number") << std::string("n=abc") << qulonglong(0);
    QTest::newRow("empty") << std::string("n=") << qulonglong(0);
    QTest::newRow("leading zeros") << std::string("n=0042") << qulonglong(42);
    QTest::newRow("absent") << std::string("m=1") << qulonglong(77);
}

void TestMultiLanguage::getNumber()
{
    QFETCH(std::string, line);
    QFETCH(qulonglong, number);
    MultiLanguage ml;
    QVERIFY(ml.LoadData(("[settings]\nCodePage=1\nLanguage=T\n[strings]\n" + line + "\n").c_str()));
    QCOMPARE(qulonglong(ml.GetNumber("n", 77)), number);
}

void TestMultiLanguage::initializeNeedsPathPrefixAndCodePage()
{
    MultiLanguage ml;
    QVERIFY(!ml.Initialize());
    QVERIFY(ml.IsInitialized());
    QVERIFY(ml.UseDefaults());

    // Path and prefix alone are not enough while no code page was ever chosen.
    QString dir = m_dir.path() + "/init";
    QVERIFY(writeFile(dir + "/olvane_1033.lng", QByteArray(kValidFile)));
    MultiLanguage set;
    set.SetPath(dir.toStdString());
    set.SetPrefix("olvane");
    QVERIFY(!set.Initialize());
    QVERIFY(!set.IsLoaded());
}

// A working directory "<folder>\<prefix>[.ext]" names the folder and the prefix; its length
// does not matter.
void TestMultiLanguage::initializeFromWorkingDirectory_data()
{
    QTest::addColumn<QString>("folders");
    QTest::addColumn<QString>("leaf");
    QTest::newRow("short, with extension") << "" << "olvane.d";
    QTest::newRow("short, without extension") << "" << "olvane";
    QTest::newRow("longer than 270 bytes") << QString("component%1/").repeated(1).arg("").repeated(45) << "olvane.d";
}

void TestMultiLanguage::initializeFromWorkingDirectory()
{
    QFETCH(QString, folders);
    QFETCH(QString, leaf);
    QString base = m_dir.path() + "/cwd/" + QTest::currentDataTag() + "/" + folders;
    QVERIFY(writeFile(base + "lang/olvane_1033.lng", QByteArray(kValidFile)));
    QString workDir = base + "lang\\" + leaf;
    QVERIFY(QDir().mkpath(workDir));
    QVERIFY(workDir.size() > 40);

    MultiLanguage ml;
    QVERIFY(!ml.SetCodePage(1033));
    QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workDir));
    bool loaded = ml.Initialize();
    QVERIFY(QDir::setCurrent(saved));
    QVERIFY(loaded);
    QCOMPARE(QString::fromStdString(ml.GetPath()), QDir(base + "lang").canonicalPath());
    QCOMPARE(ml.GetPrefix(), std::string("olvane"));
    QCOMPARE(ml.GetString(32033, "View"), std::string("Ansehen"));
}

void TestMultiLanguage::initializeRetriesEnglish()
{
    QString dir = m_dir.path() + "/retry";
    QVERIFY(writeFile(dir + "/olvane_1033.lng", QByteArray(kValidFile)));
    MultiLanguage ml;
    ml.SetPath(dir.toStdString());
    ml.SetPrefix("olvane");
    QVERIFY(!ml.SetCodePage(2052));
    QCOMPARE(ml.GetCodePage(), 1033UL);
    QVERIFY(ml.Initialize());
    QVERIFY(ml.IsLoaded());
    QCOMPARE(ml.GetCodePage(), 936UL);
}

void TestMultiLanguage::wrappersCutAtNul()
{
    QString dir = m_dir.path() + "/nul";
    QVERIFY(writeFile(dir + "/olvane_2052.lng", QByteArray(kValidFile) + QByteArray("30000=Vi\0ew\n", 12)));
    wx_ml_setPath((dir + QString("/")).toStdString() + std::string("\0junk", 5));
    wx_ml_setPrefix(std::string("olvane\0x", 8));
    QCOMPARE(tessel::ml_getInstance()->GetPrefix(), std::string("olvane"));
    QVERIFY(wx_ml_setCodePage(2052));
    QCOMPARE(::__(30000, "Empty Device"), std::string("Vi"));
    QCOMPARE(tessel::__(30000, "Empty Device"), std::string("Vi\0ew", 5));
}

// A looked-up format is used only when it carries exactly its default's conversion.
void TestMultiLanguage::safeFormat_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("defaultFormat");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("used");
    const QByteArray counter = "Already input %d character";
    const QByteArray expired = "Your certificate has expired %ld days ago.";
    QTest::newRow("same conversion") << 30028 << counter << QByteArray("已输入%d个字符") << true;
    QTest::newRow("with width and flags") << 30028 << counter << QByteArray("%-+3d chars") << true;
    QTest::newRow("with precision") << 30028 << counter << QByteArray("%.2d chars") << true;
    QTest::newRow("no conversion") << 30028 << counter << QByteArray("characters") << false;
    QTest::newRow("string conversion") << 30028 << counter << QByteArray("%s chars") << false;
    QTest::newRow("other integer conversion") << 30028 << counter << QByteArray("%i chars") << false;
    QTest::newRow("length modifier added") << 30028 << counter << QByteArray("%ld chars") << false;
    QTest::newRow("two conversions") << 30028 << counter << QByteArray("%d of %d") << false;
    QTest::newRow("percent sign escape") << 30028 << counter << QByteArray("100%% %d") << false;
    QTest::newRow("escape before d") << 30028 << counter << QByteArray("%%d chars") << false;
    QTest::newRow("star width") << 30028 << counter << QByteArray("%*d chars") << false;
    QTest::newRow("positional") << 30028 << counter << QByteArray("%1$d chars") << false;
    QTest::newRow("write count") << 30028 << counter << QByteArray("%n%d") << false;
    QTest::newRow("wide width") << 30028 << counter << QByteArray("%100d") << false;
    QTest::newRow("lone percent at end") << 30028 << counter << QByteArray("%d %") << false;
    QTest::newRow("long kept long") << 32055 << expired << QByteArray("已过期%ld天") << true;
    QTest::newRow("long lost") << 32055 << expired << QByteArray("已过期%d天") << false;
    QTest::newRow("long long") << 32055 << expired << QByteArray("已过期%lld天") << false;
    QTest::newRow("retries") << 30040 << QByteArray("Failure in verifying RUZ-Ururov password %d")
                             << QByteArray("还可重试%d次") << true;
}

void TestMultiLanguage::safeFormat()
{
    QFETCH(int, id);
    QFETCH(QByteArray, defaultFormat);
    QFETCH(QByteArray, text);
    QFETCH(bool, used);
    std::string file = std::string(kValidFile) + std::to_string(id) + "=" + text.toStdString() + "\n";
    QVERIFY(tessel::ml_loadData(file.c_str()));
    QCOMPARE(::__(static_cast<unsigned long>(id), defaultFormat.constData()), text.toStdString());
    std::string expected = used ? text.toStdString() : defaultFormat.toStdString();
    QCOMPARE(ml_safeFormat(id, defaultFormat.constData()), expected);
    QCOMPARE(tessel::ml_formatMatches(text.toStdString(), defaultFormat.constData()), used);
}

void TestMultiLanguage::formatNumber_data()
{
    QTest::addColumn<int>("id");
    QTest::addColumn<QByteArray>("defaultFormat");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qlonglong>("value");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("counter") << 30028 << QByteArray("Already input %d character") << QByteArray("已输入%d个字符")
                             << qlonglong(5) << QByteArray("已输入5个字符");
    QTest::newRow("bad text, default used") << 30028 << QByteArray("Already input %d character")
                                            << QByteArray("%s!") << qlonglong(7)
                                            << QByteArray("Already input 7 character");
    QTest::newRow("long days") << 32055 << QByteArray("expired %ld days ago") << QByteArray("%ld Tage")
                               << qlonglong(3000000000LL) << QByteArray("3000000000 Tage");
    QTest::newRow("negative") << 32054 << QByteArray("in %d days") << QByteArray("%d Tage") << qlonglong(-2)
                              << QByteArray("-2 Tage");
    QTest::newRow("default without number") << 30028 << QByteArray("no number") << QByteArray("%d")
                                            << qlonglong(1) << QByteArray("no number");
    QTest::newRow("default with string") << 30028 << QByteArray("name %s") << QByteArray("%s") << qlonglong(1)
                                         << QByteArray("name %s");
}

void TestMultiLanguage::formatNumber()
{
    QFETCH(int, id);
    QFETCH(QByteArray, defaultFormat);
    QFETCH(QByteArray, text);
    QFETCH(qlonglong, value);
    QFETCH(QByteArray, expected);
    std::string file = std::string(kValidFile) + std::to_string(id) + "=" + text.toStdString() + "\n";
    QVERIFY(tessel::ml_loadData(file.c_str()));
    QCOMPARE(ml_formatNumber(id, defaultFormat.constData(), value), expected.toStdString());
}

void TestMultiLanguage::cleanupTestCase()
{
    // Leave a file loaded: the exit probe then shows that lookups after the catalogue's end
    // no longer read it.
    QVERIFY(tessel::ml_loadData(kValidFile));
    QCOMPARE(::__(32033, "View"), std::string("Ansehen"));
}

QTEST_APPLESS_MAIN(TestMultiLanguage)
#include "tst_multilang.moc"
