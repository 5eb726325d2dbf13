#include "inifile.h"
#include "keymgr_config.h"
#include "multilang.h"
#include "text_ids.h"

#include <QFileInfo>
#include <QtTest>

#include <map>
#include <set>
#include <vector>

using tessel::kTextIds;

namespace {

bool isAscii(const std::string& s)
{
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

bool isValidUtf8(const std::string& s)
{
    QString decoded = QString::fromUtf8(s.data(), static_cast<int>(s.size()));
    return !decoded.contains(QChar::ReplacementCharacter) && decoded.toUtf8().toStdString() == s;
}

bool isFormat(const char* defaultText)
{
    return std::string(defaultText).find('%') != std::string::npos;
}

} // namespace

class TestLangFiles : public QObject {
    Q_OBJECT

private slots:
    void shippedFile_data();
    void shippedFile();
#if LANG_STAGED
    // Only a staging build places the files; a package installs them.
    void stagedWhereTheProgramLooks();
#endif
};

void TestLangFiles::shippedFile_data()
{
    QTest::addColumn<QString>("dir");
    QTest::addColumn<int>("langId");
    QTest::addColumn<QString>("language");
    struct Lang {
        int id;
        const char* name;
    };
    const Lang langs[] = {{2052, "简体中文"}, {1028, "繁體中文"}, {1033, "English"}};
    std::vector<std::pair<QString, QString>> dirs = {{"source", LANG_SOURCE_DIR}};
    if (LANG_STAGED)
        dirs.emplace_back("staged", QString::fromStdString(tessel::ml_defaultPath()));
    for (const auto& [where, dir] : dirs)
        for (const Lang& lang : langs)
            QTest::addRow("%s %d", qPrintable(where), lang.id) << dir << lang.id << QString::fromUtf8(lang.name);
}

void TestLangFiles::shippedFile()
{
    QFETCH(QString, dir);
    QFETCH(int, langId);
    QFETCH(QString, language);

    wx_ml_setPath(dir.toStdString());
    wx_ml_setPrefix("olvane");
    QVERIFY2(wx_ml_setCodePage(static_cast<unsigned long>(langId)), "the file does not load");
    QCOMPARE(QString::fromStdString(tessel::ml_getLanguageName()), language);
    QCOMPARE(tessel::ml_getCodePage(), 65001UL);

    tessel::IniFile ini;
    QVERIFY(ini.Load(QString("%1/olvane_%2.lng").arg(dir).arg(langId).toStdString()));
    const tessel::IniSection* strings = ini.GetSection("strings");
    QVERIFY(strings);

    std::set<std::string> known;
    std::map<unsigned long, std::set<std::string>> chineseDefaults;
    for (const auto& entry : kTextIds) {
        known.insert(std::to_string(entry.id));
        if (!isAscii(entry.defaultText))
            chineseDefaults[entry.id].insert(entry.defaultText);
    }
    for (const auto& [key, value] : strings->Values())
        QVERIFY2(known.count(key), qPrintable("id not used by the program: " + QString::fromStdString(key)));

    for (const auto& entry : kTextIds) {
        const QString where = QString::number(entry.id);
        std::string text = strings->GetString(entry.id);
        QVERIFY2(text != tessel::kIniMissingValue, qPrintable("missing id " + where));
        QVERIFY2(!text.empty(), qPrintable("empty text " + where));
        QVERIFY2(isValidUtf8(text), qPrintable("not UTF-8: " + where));
        QVERIFY2(text.find_first_of(" \t\r") != 0 && text.find_last_of(" \t\r\n") != text.size() - 1,
                 qPrintable("blank at an end of " + where));
        QCOMPARE(::__(entry.id, entry.defaultText), text);
        if (isFormat(entry.defaultText)) {
            QVERIFY2(tessel::ml_formatMatches(text, entry.defaultText), qPrintable("format changed in " + where));
            QCOMPARE(ml_safeFormat(static_cast<int>(entry.id), entry.defaultText), text);
        } else {
            QVERIFY2(text.find('%') == std::string::npos, qPrintable("stray % in " + where));
        }
        if (std::string(entry.defaultText).find("RUZ-Ururov") != std::string::npos)
            QVERIFY2(text.find("RUZ-Ururov") != std::string::npos, qPrintable("token name lost in " + where));
        if (langId == 2052 && chineseDefaults.count(entry.id))
            QVERIFY2(chineseDefaults[entry.id].count(text), qPrintable("Chinese default changed in " + where));
    }

    // Rows of the certificate tree are recognised by their text: the texts must differ.
    std::set<std::string> treeTexts;
    const unsigned long treeIds[] = {30018, 30019, 30020, 30021, 30022, 30023, 30024, 30025, 30026, 30027, 70000};
    for (unsigned long id : treeIds)
        treeTexts.insert(strings->GetString(id));
    QCOMPARE(treeTexts.size(), std::size(treeIds));
}

#if LANG_STAGED
void TestLangFiles::stagedWhereTheProgramLooks()
{
    QCOMPARE(tessel::ml_defaultPath(), std::string(KEYMGR_LANG_DIR));
    for (int id : {2052, 1028, 1033}) {
        QString path = QString("%1/%2_%3.lng")
                           .arg(QString::fromStdString(tessel::ml_defaultPath()),
                                QString::fromStdString(tessel::ml_defaultPrefix()))
                           .arg(id);
        QVERIFY2(QFileInfo(path).isFile(), qPrintable(path));
    }
}
#endif

QTEST_APPLESS_MAIN(TestLangFiles)
#include "tst_langfiles.moc"
