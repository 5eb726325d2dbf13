#include "inifile.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <vector>

using tessel::IniFile;
using tessel::IniSection;

Q_DECLARE_METATYPE(std::string)

namespace {

std::string sectionDump(const IniSection* section)
{
    std::string out;
    if (!section)
        return "<none>";
    for (const auto& [key, value] : section->Values())
        out += "[" + key + "]=[" + value + "];";
    return out;
}

} // namespace

class TestIniFile : public QObject {
    Q_OBJECT

private slots:
    void keyValueLines_data();
    void keyValueLines();
    void escapes_data();
    void escapes();
    void sectionHeaders_data();
    void sectionHeaders();
    void removeSpaceChar_data();
    void removeSpaceChar();
    void replaceString_data();
    void replaceString();
    void repeatedHeadersMerge();
    void duplicateKeyStopsTheLoad();
    void emptySectionNameStopsTheLoad();
    void crlfFile();
    void unopenableFileKeepsTheStore();
    void emptyTextKeepsTheStore();
    void sectionLookups();
    void keysAndValues();
    void output();
    void outputOrderAndSize();
};

// One line under a header: the pair it yields, or nothing.
void TestIniFile::keyValueLines_data()
{
    QTest::addColumn<std::string>("line");
    QTest::addColumn<std::string>("expected");
    QTest::newRow("spaces around =") << std::string("key = value") << std::string("[key]=[ value];");
    QTest::newRow("later = in value") << std::string("a=b=c") << std::string("[a]=[b=c];");
    QTest::newRow("key trimmed of tabs") << std::string(" \tkey\t=v ") << std::string("[key]=[v ];");
    QTest::newRow("empty value") << std::string("k=") << std::string("[k]=[];");
    QTest::newRow("semicolon comment") << std::string("; a=1") << std::string("");
    QTest::newRow("hash comment") << std::string("# a=1") << std::string("");
    QTest::newRow("indented comment") << std::string("  \t;a=1") << std::string("");
    QTest::newRow("text without =") << std::string("just words") << std::string("");
    QTest::newRow("blanks only") << std::string(" \t \r") << std::string("");
}

void TestIniFile::keyValueLines()
{
    QFETCH(std::string, line);
    QFETCH(std::string, expected);
    IniFile ini;
    QVERIFY(ini.Load(("[s]\n" + line + "\n").c_str()));
    QCOMPARE(sectionDump(ini.GetSection("s")), expected);
}

void TestIniFile::escapes_data()
{
    QTest::addColumn<std::string>("written");
    QTest::addColumn<std::string>("read");
    QTest::newRow("line feed") << std::string("a\\nb") << std::string("a\nb");
    QTest::newRow("escaped backslash before n") << std::string("a\\\\nb") << std::string("a\\nb");
    QTest::newRow("control escapes") << std::string("\\r\\n\\t") << std::string("\r\n\t");
    QTest::newRow("escaped r and t") << std::string("\\\\r\\\\t") << std::string("\\r\\t");
    QTest::newRow("path with doubled backslashes") << std::string("C:\\\\dir\\\\file") << std::string("C:\\dir\\file");
    QTest::newRow("two escaped backslashes") << std::string("\\\\\\\\") << std::string("\\\\");
    QTest::newRow("escaped backslash then line feed") << std::string("\\\\\\n") << std::string("\\\n");
    QTest::newRow("other escape kept") << std::string("\\x\\q") << std::string("\\x\\q");
    QTest::newRow("trailing backslash") << std::string("a\\") << std::string("a\\");
    QTest::newRow("raw 0x01 byte kept") << std::string("a\x01" "b") << std::string("a\x01" "b");
    QTest::newRow("percent untouched") << std::string("100%d") << std::string("100%d");
}

void TestIniFile::escapes()
{
    QFETCH(std::string, written);
    QFETCH(std::string, read);
    IniFile ini;
    QVERIFY(ini.Load(("[s]\nk=" + written + "\n").c_str()));
    QCOMPARE(ini.GetSection("s")->GetString("k"), read);
}

// A header line followed by the pair k=1: the sections that result.
void TestIniFile::sectionHeaders_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<std::string>("section");
    QTest::addColumn<std::string>("pairs");
    QTest::newRow("plain") << std::string("[a]\nk=1\n") << true << std::string("a") << std::string("[k]=[1];");
    QTest::newRow("inner spaces kept") << std::string("[ a ]\nk=1") << true << std::string(" a ") << std::string("[k]=[1];");
    QTest::newRow("indented, CR") << std::string("  [a]\r\nk=1") << true << std::string("a") << std::string("[k]=[1];");
    QTest::newRow("up to the last bracket") << std::string("[a]b]tail\nk=1") << true << std::string("a]b")
                                            << std::string("[k]=[1];");
    QTest::newRow("empty name fails") << std::string("[]\nk=1") << false << std::string("") << std::string("<none>");
    // A header without ']' names nothing: it is skipped, and so is the pair with no section.
    QTest::newRow("no closing bracket") << std::string("[a\nk=1") << true << std::string("a") << std::string("<none>");
    QTest::newRow("pair before any header") << std::string("k=0\n[a]\nk=1") << true << std::string("a")
                                            << std::string("[k]=[1];");
    QTest::newRow("last line without line feed") << std::string("[a]\nk=1") << true << std::string("a")
                                                 << std::string("[k]=[1];");
}

void TestIniFile::sectionHeaders()
{
    QFETCH(std::string, text);
    QFETCH(bool, loads);
    QFETCH(std::string, section);
    QFETCH(std::string, pairs);
    IniFile ini;
    QCOMPARE(ini.Load(text.c_str()), loads);
    QCOMPARE(sectionDump(ini.GetSection(section)), pairs);
    if (pairs != "<none>")
        QCOMPARE(ini.Sections().size(), size_t(1));
}

void TestIniFile::removeSpaceChar_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<int>("flags");
    QTest::addColumn<std::string>("expected");
    QTest::newRow("left") << std::string(" \t a \r") << 1 << std::string("a \r");
    QTest::newRow("right") << std::string(" \t a \r") << 2 << std::string(" \t a");
    QTest::newRow("both") << std::string(" \t a b \r") << 3 << std::string("a b");
    QTest::newRow("none") << std::string(" a ") << 0 << std::string(" a ");
    QTest::newRow("blanks only, left") << std::string(" \t\r ") << 1 << std::string(" \t\r ");
    QTest::newRow("blanks only, both") << std::string(" \t\r ") << 3 << std::string(" \t\r ");
    QTest::newRow("line feed is not a blank") << std::string("\na\n") << 3 << std::string("\na\n");
    QTest::newRow("empty") << std::string() << 3 << std::string();
}

void TestIniFile::removeSpaceChar()
{
    QFETCH(std::string, text);
    QFETCH(int, flags);
    QFETCH(std::string, expected);
    tessel::RemoveSpaceChar(text, static_cast<unsigned long>(flags));
    QCOMPARE(text, expected);
}

void TestIniFile::replaceString_data()
{
    QTest::addColumn<std::string>("text");
    QTest::addColumn<std::string>("from");
    QTest::addColumn<std::string>("to");
    QTest::addColumn<std::string>("expected");
    QTest::newRow("every occurrence") << std::string("aXbXc") << std::string("X") << std::string("--")
                                     << std::string("a--b--c");
    QTest::newRow("replacement matched again") << std::string("\\\\\\\\") << std::string("\\\\") << std::string("\\")
                                               << std::string("\\");
    QTest::newRow("empty text") << std::string() << std::string("a") << std::string("b") << std::string();
    QTest::newRow("empty from") << std::string("abc") << std::string() << std::string("x") << std::string("abc");
    QTest::newRow("to contains from") << std::string("a-a") << std::string("a") << std::string("aa")
                                      << std::string("aa-aa");
    QTest::newRow("to equals from") << std::string("aaa") << std::string("a") << std::string("a")
                                    << std::string("aaa");
    QTest::newRow("not found") << std::string("abc") << std::string("x") << std::string("y") << std::string("abc");
}

void TestIniFile::replaceString()
{
    QFETCH(std::string, text);
    QFETCH(std::string, from);
    QFETCH(std::string, to);
    QFETCH(std::string, expected);
    tessel::ReplaceString(text, from, to);
    QCOMPARE(text, expected);
}

void TestIniFile::repeatedHeadersMerge()
{
    IniFile ini;
    QVERIFY(ini.Load("[s]\na=1\n[t]\nx=9\n[s]\nb=2\n"));
    QCOMPARE(ini.Sections().size(), size_t(2));
    QCOMPARE(sectionDump(ini.GetSection("s")), std::string("[a]=[1];[b]=[2];"));
}

void TestIniFile::duplicateKeyStopsTheLoad()
{
    IniFile ini;
    QVERIFY(!ini.Load("[s]\na=1\nb=2\na=3\nc=4\n"));
    // Everything before the duplicate stays, the first value wins, nothing after is read.
    QCOMPARE(sectionDump(ini.GetSection("s")), std::string("[a]=[1];[b]=[2];"));
}

void TestIniFile::emptySectionNameStopsTheLoad()
{
    IniFile ini;
    QVERIFY(!ini.Load("[s]\na=1\n[]\nb=2\n[t]\nc=3\n"));
    QCOMPARE(sectionDump(ini.GetSection("s")), std::string("[a]=[1];"));
    QVERIFY(!ini.GetSection("t"));
}

void TestIniFile::crlfFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.path() + "/crlf.ini";
    QVERIFY(writeFile(path, "; note\r\n[sec]\r\nkey = v\r\n\r\nlast=x"));
    IniFile ini;
    QVERIFY(ini.Load(path.toStdString()));
    QVERIFY(ini.GetSection("sec"));
    QCOMPARE(sectionDump(ini.GetSection("sec")), std::string("[key]=[ v\r];[last]=[x];"));
}

void TestIniFile::unopenableFileKeepsTheStore()
{
    IniFile ini;
    QVERIFY(ini.Load("[s]\na=1\n"));
    QVERIFY(!ini.Load(std::string("/nonexistent/dir/file.ini")));
    QCOMPARE(ini.GetSection("s")->GetString("a"), std::string("1"));
    QTemporaryDir dir;
    QVERIFY(!ini.Load(dir.path().toStdString()));
    QCOMPARE(ini.GetSection("s")->GetString("a"), std::string("1"));

    // A file that opens replaces the whole store.
    QVERIFY(writeFile(dir.path() + "/f.ini", "[t]\nb=2\n"));
    QVERIFY(ini.Load((dir.path() + "/f.ini").toStdString()));
    QVERIFY(!ini.GetSection("s"));
    QCOMPARE(ini.GetSection("t")->GetString("b"), std::string("2"));
}

void TestIniFile::emptyTextKeepsTheStore()
{
    IniFile ini;
    QVERIFY(ini.Load("[s]\na=1\n"));
    QVERIFY(!ini.Load(""));
    QVERIFY(!ini.Load(static_cast<const char*>(nullptr)));
    QCOMPARE(ini.GetSection("s")->GetString("a"), std::string("1"));
    // A text of blank lines only loads and empties the store.
    QVERIFY(ini.Load("\n\n"));
    QVERIFY(ini.Sections().empty());
}

void TestIniFile::sectionLookups()
{
    IniFile ini;
    QVERIFY(!ini.GetSection("s"));
    QVERIFY(!ini.CreateSection(""));
    IniSection* s = ini.CreateSection("s");
    QVERIFY(s);
    QCOMPARE(ini.CreateSection("s"), s);
    QCOMPARE(ini.GetSection("s"), s);
    QVERIFY(!ini.GetSection("S"));
    ini.ClearUp();
    QVERIFY(!ini.GetSection("s"));
}

void TestIniFile::keysAndValues()
{
    IniSection s("s");
    QCOMPARE(s.GetString("absent"), std::string("DEFAULT_3B9E61C07A2D4F58B1E6C94D0A7F25E3"));
    QVERIFY(s.AddKeyValue(30028UL, "first"));
    QVERIFY(!s.AddKeyValue("30028", "second"));
    QCOMPARE(s.GetString(30028UL), std::string("first"));
    QCOMPARE(s.GetString("30028"), std::string("first"));
    QVERIFY(s.SetString("30028", "third"));
    QCOMPARE(s.GetString(30028UL), std::string("third"));
    QVERIFY(s.SetString("new", "v"));
    QCOMPARE(s.GetString("new"), std::string("v"));
    QCOMPARE(s.GetString(0UL), std::string(tessel::kIniMissingValue));
}

void TestIniFile::output()
{
    IniFile ini;
    QCOMPARE(ini.Output(nullptr), 0UL);
    ini.CreateSection("s")->AddKeyValue("a", "1");
    // "[s]\r\n" and "a=1\r\n" are ten bytes; the size adds the terminating NUL.
    unsigned long size = ini.Output(nullptr);
    QCOMPARE(size, 11UL);
    std::vector<char> buf(size + 1, '#');
    QCOMPARE(ini.Output(buf.data()), 11UL);
    QCOMPARE(std::string(buf.data()), std::string("[s]\r\na=1\r\n"));
    QCOMPARE(buf[size], '#');
}

void TestIniFile::outputOrderAndSize()
{
    IniFile ini;
    // Byte-wise order: upper case before lower case, a prefix before its extensions.
    QVERIFY(ini.Load("[b]\nz=1\ny=22\n[B]\nk=\n[a]\nab=3\na=4\n"));
    unsigned long size = ini.Output(nullptr);
    std::vector<char> buf(size + 1, '#');
    QCOMPARE(ini.Output(buf.data()), size);
    std::string expected = "[B]\r\nk=\r\n[a]\r\na=4\r\nab=3\r\n[b]\r\ny=22\r\nz=1\r\n";
    QCOMPARE(std::string(buf.data()), expected);
    QCOMPARE(size, static_cast<unsigned long>(expected.size() + 1));
    QCOMPARE(buf[size], '#');
    QCOMPARE(ini.GetSection("b")->Output(nullptr), 11L);
}

QTEST_APPLESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
