// The certificate files the program writes and the start of the viewer: never through a planted
// link, FIFO or foreign file; never writable by others; failures reported; no shell involved.
#include "certfile_io.h"
#include "certfile_select.h"
#include "testfiles.h"
#include "tokentext.h"

#include <QtTest>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A user other than us, for files "another user" owns.
uid_t otherUser()
{
    const passwd* pw = ::getpwnam("nobody");
    return pw ? pw->pw_uid : 65534;
}

// Run without root, the sealed test's user namespace maps only the caller: no other owner exists.
const char kNeedsRoot[] = "planting a file of another user needs root";

const QByteArray kDer = QByteArray("\x30\x82\x01\x00", 4) + QByteArray(256, '\x5a');

} // namespace

class TestCertFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void viewerFileIsPrivateAndOverwritten();
    void realTemporaryFile();
    void viewerFileNeverFollowsPlantedEntries_data();
    void viewerFileNeverFollowsPlantedEntries();
    void viewerFileReplacesOwnFileOthersMayHoldOpen();
    void viewerFileAvoidsUnsafeDirectory();

    void exportFileMode_data();
    void exportFileMode();
    void exportFailures_data();
    void exportFailures();
    void exportThatCannotBeFullyWrittenFails();
    void exportFollowsOwnLinkOnly();

    void viewerFallbackOrder_data();
    void viewerFallbackOrder();
    void viewerGetsOneArgumentWithoutShell();

    void containerName_data();
    void containerName();

private:
    QString shared(const QString& name = QString::fromLatin1(certfile::kViewerFileName)) const
    {
        return QDir(m_shared->path()).filePath(name);
    }
    QString outside(const QString& name) const { return QDir(m_outside->path()).filePath(name); }
    // Runs the viewer stubs from a PATH holding only the named ones.
    void pathWith(const QStringList& stubs);

    QScopedPointer<QTemporaryDir> m_shared;
    QScopedPointer<QTemporaryDir> m_outside;
    QByteArray m_path;
};

void TestCertFile::initTestCase()
{
    QCOMPARE(certfile::tempDir(), QStringLiteral("/tmp"));
}

void TestCertFile::init()
{
    m_shared.reset(new QTemporaryDir);
    m_outside.reset(new QTemporaryDir);
    QVERIFY(m_shared->isValid() && m_outside->isValid());
    certfile::setTempDirForTesting(m_shared->path());
    m_path = qgetenv("PATH");
}

void TestCertFile::cleanup()
{
    qputenv("PATH", m_path);
    certfile::setTempDirForTesting(QStringLiteral("/tmp"));
}

void TestCertFile::pathWith(const QStringList& stubs)
{
    const QString bin = outside(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    const QString source = qEnvironmentVariable("KEYMGR_SOURCE_DIR") + QStringLiteral("/tests/stubs/");
    for (const QString& stub : stubs)
        QVERIFY(QFile::link(source + stub, bin + QLatin1Char('/') + stub));
    // The stubs themselves need basename.
    const QString basename = QStandardPaths::findExecutable(QStringLiteral("basename"));
    QVERIFY(!basename.isEmpty());
    QVERIFY(QFile::link(basename, bin + QStringLiteral("/basename")));
    qputenv("PATH", QFile::encodeName(bin));
}

void TestCertFile::viewerFileIsPrivateAndOverwritten()
{
    QCOMPARE(certfile::tempDir(), m_shared->path());
    const QString first = certfile::writeViewerFile(kDer);
    QCOMPARE(first, shared());
    QCOMPARE(readFile(first), kDer);
    QCOMPARE(modeOf(first), mode_t(0600));

    // A second view overwrites the copy, also with shorter content.
    const QByteArray shorter = kDer.left(10);
    QCOMPARE(certfile::writeViewerFile(shorter), shared());
    QCOMPARE(readFile(shared()), shorter);
}

void TestCertFile::realTemporaryFile()
{
    certfile::setTempDirForTesting(QStringLiteral("/tmp"));
    const QString real = QStringLiteral("/tmp/lumeno.cer");
    // run-test.sh gives the test a /tmp of its own: the name is free.
    QVERIFY(!QFileInfo::exists(real));
    QCOMPARE(certfile::writeViewerFile(kDer), real);
    QCOMPARE(readFile(real), kDer);
    QCOMPARE(modeOf(real), mode_t(0600));
}

void TestCertFile::viewerFileNeverFollowsPlantedEntries_data()
{
    QTest::addColumn<QString>("planted");
    QTest::newRow("symbolic link to a file") << "link";
    QTest::newRow("dangling symbolic link") << "dangling";
    QTest::newRow("file of another user, writable by all") << "foreign";
    QTest::newRow("hard link to another file") << "hardlink";
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("directory") << "directory";
}

void TestCertFile::viewerFileNeverFollowsPlantedEntries()
{
    QFETCH(QString, planted);
    const QString victim = outside(QStringLiteral("victim"));
    const QByteArray original("the test's own file");
    const QByteArray path = QFile::encodeName(shared());
    if (planted == "link" || planted == "hardlink") {
        QVERIFY(writeFile(victim, original));
        if (planted == "link")
            QVERIFY(QFile::link(victim, shared()));
        else
            QCOMPARE(::link(QFile::encodeName(victim).constData(), path.constData()), 0);
    } else if (planted == "dangling") {
        QVERIFY(QFile::link(victim, shared()));
    } else if (planted == "foreign") {
        QVERIFY(writeFile(shared(), original));
        QVERIFY2(::chown(path.constData(), otherUser(), otherUser()) == 0, kNeedsRoot);
        QCOMPARE(::chmod(path.constData(), 0666), 0);
    } else if (planted == "fifo") {
        QCOMPARE(::mkfifo(path.constData(), 0666), 0);
    } else {
        QVERIFY(QDir().mkdir(shared()));
    }

    const QString written = certfile::writeViewerFile(kDer);
    QVERIFY(!written.isEmpty());
    QCOMPARE(readFile(written), kDer);
    QCOMPARE(modeOf(written), mode_t(0600));
    QVERIFY(!written.startsWith(m_outside->path()));

    if (planted == "link" || planted == "dangling") {
        QVERIFY(QFileInfo(shared()).isSymLink());
        QVERIFY(written != shared());
        // The private folder is the user's alone.
        QCOMPARE(modeOf(QFileInfo(written).path()), mode_t(0700));
    }
    if (planted == "dangling")
        QVERIFY(!QFileInfo::exists(victim));
    else if (planted == "link" || planted == "hardlink")
        QCOMPARE(readFile(victim), original);
    if (planted == "foreign") {
        QVERIFY(written != shared());
        QCOMPARE(readFile(shared()), original);
    }
}

void TestCertFile::viewerFileReplacesOwnFileOthersMayHoldOpen()
{
    QVERIFY(writeFile(shared(), "old"));
    QCOMPARE(::chmod(QFile::encodeName(shared()).constData(), 0666), 0);
    // Someone opened it while anyone could write it.
    const int holder = ::open(QFile::encodeName(shared()).constData(), O_WRONLY);
    QVERIFY(holder >= 0);
    QCOMPARE(certfile::writeViewerFile(kDer), shared());
    QCOMPARE(::pwrite(holder, "EVIL", 4, 0), ssize_t(4));
    ::close(holder);
    QCOMPARE(readFile(shared()), kDer);
    QCOMPARE(modeOf(shared()), mode_t(0600));
}

void TestCertFile::viewerFileAvoidsUnsafeDirectory()
{
    // Writable by all and not sticky: anyone could swap the file after it is written.
    QCOMPARE(::chmod(QFile::encodeName(m_shared->path()).constData(), 0777), 0);
    const QString written = certfile::writeViewerFile(kDer);
    QVERIFY(!written.isEmpty());
    QVERIFY(written != shared());
    QCOMPARE(readFile(written), kDer);
    QVERIFY(!QFileInfo::exists(shared()));

    QCOMPARE(::chmod(QFile::encodeName(m_shared->path()).constData(), 01777), 0);
    QCOMPARE(certfile::writeViewerFile(kDer), shared());
}

void TestCertFile::exportFileMode_data()
{
    QTest::addColumn<int>("existingMode"); // -1: no file yet
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("expected");
    QTest::newRow("new file, mask 0") << -1 << 0 << 0644;
    QTest::newRow("new file, mask 022") << -1 << 022 << 0644;
    QTest::newRow("new file, mask 077") << -1 << 077 << 0600;
    QTest::newRow("existing 0666, mask 0") << 0666 << 0 << 0644;
    QTest::newRow("existing 0620, mask 0") << 0620 << 0 << 0600;
    QTest::newRow("existing 0600") << 0600 << 022 << 0600;
}

void TestCertFile::exportFileMode()
{
    QFETCH(int, existingMode);
    QFETCH(int, mask);
    QFETCH(int, expected);
    const QString target = outside(QStringLiteral("export.cer"));
    if (existingMode >= 0) {
        QVERIFY(writeFile(target, QByteArray(4000, 'x')));
        QCOMPARE(::chmod(QFile::encodeName(target).constData(), mode_t(existingMode)), 0);
    }
    const mode_t old = ::umask(mode_t(mask));
    const bool ok = certfile::writeExportFile(target, kDer);
    ::umask(old);
    QVERIFY(ok);
    QCOMPARE(readFile(target), kDer);
    QCOMPARE(int(modeOf(target)), expected);
}

void TestCertFile::exportFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("folder does not exist") << "missing";
    QTest::newRow("target is a directory") << "directory";
    QTest::newRow("target is a FIFO") << "fifo";
    QTest::newRow("file of another user") << "foreign";
    QTest::newRow("link of another user") << "foreignlink";
    QTest::newRow("empty name") << "empty";
}

void TestCertFile::exportFailures()
{
    QFETCH(QString, kind);
    QString target = outside(QStringLiteral("export.cer"));
    const QString victim = outside(QStringLiteral("victim"));
    const QByteArray original("kept");
    const QByteArray path = QFile::encodeName(target);
    if (kind == "missing") {
        target = outside(QStringLiteral("no/such/folder/export.cer"));
    } else if (kind == "directory") {
        QVERIFY(QDir().mkdir(target));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    } else if (kind == "foreign") {
        QVERIFY(writeFile(target, original));
        QVERIFY2(::chown(path.constData(), otherUser(), otherUser()) == 0, kNeedsRoot);
        QCOMPARE(::chmod(path.constData(), 0666), 0);
    } else if (kind == "foreignlink") {
        QVERIFY(writeFile(victim, original));
        QVERIFY(QFile::link(victim, target));
        QVERIFY2(::lchown(path.constData(), otherUser(), otherUser()) == 0, kNeedsRoot);
    } else {
        target.clear();
    }
    QVERIFY(!certfile::writeExportFile(target, kDer));
    if (kind == "foreign")
        QCOMPARE(readFile(target), original);
    if (kind == "foreignlink")
        QCOMPARE(readFile(victim), original);
}

void TestCertFile::exportThatCannotBeFullyWrittenFails()
{
    const QString target = outside(QStringLiteral("big.cer"));
    struct rlimit old;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 100;
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ok = certfile::writeExportFile(target, kDer);
    const QString viewer = certfile::writeViewerFile(kDer);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, previous);
    QVERIFY(!ok);
    // A file the failed export created is not left behind half written.
    QVERIFY(!QFileInfo::exists(target));
    QVERIFY(viewer.isEmpty());
}

void TestCertFile::exportFollowsOwnLinkOnly()
{
    const QString target = outside(QStringLiteral("link.cer"));
    const QString real = outside(QStringLiteral("real.cer"));
    QVERIFY(QFile::link(real, target));
    QVERIFY(certfile::writeExportFile(target, kDer));
    QCOMPARE(readFile(real), kDer);
    QVERIFY(QFileInfo(target).isSymLink());
}

void TestCertFile::viewerFallbackOrder_data()
{
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("expected");
    QTest::newRow("all") << QStringList{"gcr-viewer", "gcr-viewer-gtk4", "xdg-open"} << "gcr-viewer";
    QTest::newRow("no gcr-viewer") << QStringList{"gcr-viewer-gtk4", "xdg-open"} << "gcr-viewer-gtk4";
    QTest::newRow("xdg-open only") << QStringList{"xdg-open"} << "xdg-open";
    QTest::newRow("none") << QStringList{} << QString();
}

void TestCertFile::viewerFallbackOrder()
{
    QFETCH(QStringList, installed);
    QFETCH(QString, expected);
    pathWith(installed);
    const QString program = certfile::viewerProgram();
    QCOMPARE(QFileInfo(program).fileName(), expected);
    if (expected.isEmpty())
        QVERIFY(!certfile::startViewer(shared()));
}

void TestCertFile::viewerGetsOneArgumentWithoutShell()
{
    pathWith({"xdg-open"});
    const QString log = qEnvironmentVariable("KEYMGR_STUB_LOG");
    QVERIFY(writeFile(log, QByteArray()));
    // Run through a shell, this name would split and create "pwned" in the working folder.
    const QString marker = QDir::current().filePath(QStringLiteral("pwned"));
    const QString odd = outside(QStringLiteral("a b;touch pwned $(touch pwned) &.cer"));
    QVERIFY(writeFile(odd, kDer));
    QVERIFY(certfile::startViewer(odd));
    QTRY_VERIFY(readFile(log).count('\n') >= 2);
    QCOMPARE(QString::fromUtf8(readFile(log)), QStringLiteral("xdg-open 1\n%1\n").arg(odd));
    QVERIFY(!QFileInfo::exists(marker));
}

void TestCertFile::containerName_data()
{
    const QString suffix = certfile::containerSuffix();
    const QByteArray gbk("\xd6\xf7\xc8\xdd\xc6\xf7"); // "主容器" in GBK
    QTest::addColumn<QString>("label");
    QTest::addColumn<QByteArray>("kept"); // the bytes the row keeps; null: none
    QTest::addColumn<bool>("accepted");
    QTest::newRow("plain") << "c1" + suffix << QByteArray("c1") << true;
    QTest::newRow("GBK bytes, not the label encoded") << QString::fromUtf8("主容器") + suffix << gbk << true;
    QTest::newRow("look-alike label, own bytes")
        << QString::fromUtf8("A\uFFFD") + suffix << QByteArray("A\xff") << true;
    QTest::newRow("127 bytes") << "n" + suffix << QByteArray(127, 'a') << true;
    QTest::newRow("128 bytes") << "n" + suffix << QByteArray(128, 'a') << false;
    QTest::newRow("no bytes kept") << "c1" + suffix << QByteArray() << false;
    QTest::newRow("NUL inside") << "a" + suffix << QByteArray("a\0b", 3) << false;
    QTest::newRow("suffix only") << suffix << QByteArray("c1") << false;
    QTest::newRow("no suffix") << "Sign(RSA2048)" << QByteArray("c1") << false;
}

void TestCertFile::containerName()
{
    QFETCH(QString, label);
    QFETCH(QByteArray, kept);
    QFETCH(bool, accepted);
    QStandardItemModel model;
    auto* row = new QStandardItem(label);
    if (!kept.isNull())
        row->setData(kept, tokentext::kNameBytesRole);
    model.appendRow(row);
    QByteArray got("untouched");
    QCOMPARE(certfile::containerName(row->index(), &got), accepted);
    QCOMPARE(got, accepted ? kept : QByteArray("untouched"));
}

QTEST_GUILESS_MAIN(TestCertFile)
#include "tst_certfile.moc"
