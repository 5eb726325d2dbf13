#include "keymgr_app.h"
#include "myListen.h"
#include "testfiles.h"
#include "threadstate.h"

#include <QtTest>

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

class TestRequestFifo : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void isShowRequest_data();
    void isShowRequest();
    void everyShowReachesTheWindow();
    void otherTextIsIgnored();
    void readerSleepsWhileIdle();
    void fifoIsOwnerOnlyWhateverTheMask();
    void writerGivesUpWithoutReader();
    void plantedPathIsNeverWrittenThrough_data();
    void plantedPathIsNeverWrittenThrough();
    void listenerReplacesPlantedLink();

private:
    QTemporaryDir m_dir;
    QByteArray m_fifo;
    myListen* m_listener = nullptr;
};

void TestRequestFifo::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_fifo = QFile::encodeName(m_dir.filePath("request"));
    // One reader for the whole test program: threads are never destroyed.
    m_listener = new myListen(m_fifo.constData());
    m_listener->start();
    QTRY_VERIFY_WITH_TIMEOUT(threadstate::fifoReaderIdle(m_fifo, getpid(), "myListen"), 5000);
}

void TestRequestFifo::isShowRequest_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<bool>("show");
    QTest::newRow("show") << QByteArray("show") << true;
    QTest::newRow("two requests in one read") << QByteArray("showshow") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("short") << QByteArray("sho") << false;
    QTest::newRow("last byte differs") << QByteArray("shoe") << false;
    QTest::newRow("trailing byte") << QByteArray("shows") << false;
    QTest::newRow("with terminator") << QByteArray("show", 5) << false;
    QTest::newRow("upper case") << QByteArray("SHOW") << false;
    QTest::newRow("other text") << QByteArray("hello") << false;
    QTest::newRow("show then other") << QByteArray("showhide") << false;
}

void TestRequestFifo::isShowRequest()
{
    QFETCH(QByteArray, chunk);
    QFETCH(bool, show);
    QCOMPARE(myListen::isShowRequest(chunk.constData(), chunk.size()), show);
}

void TestRequestFifo::everyShowReachesTheWindow()
{
    QSignalSpy spy(m_listener, &myListen::notifyMyListenEvent);
    for (int i = 1; i <= 5; ++i) {
        QCOMPARE(sendShowRequest(m_fifo.constData(), 2000), 0);
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), i, 3000);
    }
}

void TestRequestFifo::otherTextIsIgnored()
{
    QSignalSpy spy(m_listener, &myListen::notifyMyListenEvent);
    // Each chunk goes once the reader has handled the one before: no two share a read.
    for (const char* chunk : {"hello", "SHOW"}) {
        QVERIFY(writeFifo(QFile::decodeName(m_fifo), chunk));
        QTRY_VERIFY_WITH_TIMEOUT(threadstate::fifoReaderIdle(m_fifo, getpid(), "myListen"), 5000);
        QCOMPARE(spy.count(), 0);
    }
    QVERIFY(writeFifo(QFile::decodeName(m_fifo), "show"));
    QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 3000);
}

void TestRequestFifo::readerSleepsWhileIdle()
{
    // Blocked in read(), not polling: a poller sits in poll() or a sleep between its looks.
    const QList<qint64> reader = threadstate::threadsNamed(getpid(), "myListen");
    QCOMPARE(reader.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(threadstate::sleepsIn(getpid(), reader.first(), {SYS_read}), 5000);
}

void TestRequestFifo::fifoIsOwnerOnlyWhateverTheMask()
{
    mode_t old = umask(0);
    QByteArray path = QFile::encodeName(m_dir.filePath("masked"));
    myListen listener(path.constData());
    umask(old);
    struct stat st {};
    QCOMPARE(lstat(path.constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
    QCOMPARE(st.st_mode & 0777, mode_t(0600));
}

void TestRequestFifo::writerGivesUpWithoutReader()
{
    QByteArray path = QFile::encodeName(m_dir.filePath("nobody"));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(sendShowRequest(path.constData(), 1000), -1);
    qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 900 && elapsed < 3000, qPrintable(QString::number(elapsed)));
    // The FIFO it created stays a FIFO nobody else may write to.
    struct stat st {};
    QCOMPARE(lstat(path.constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
    QCOMPARE(st.st_mode & 0022, mode_t(0));
}

void TestRequestFifo::plantedPathIsNeverWrittenThrough_data()
{
    QTest::addColumn<bool>("symlink");
    QTest::newRow("regular file") << false;
    QTest::newRow("symbolic link") << true;
}

void TestRequestFifo::plantedPathIsNeverWrittenThrough()
{
    QFETCH(bool, symlink);
    QString target = m_dir.filePath(QString("victim-%1").arg(symlink));
    QString planted = m_dir.filePath(QString("planted-%1").arg(symlink));
    QVERIFY(writeFile(target, "precious"));
    if (symlink)
        QVERIFY(QFile::link(target, planted));
    else
        QVERIFY(QFile::copy(target, planted));

    QCOMPARE(sendShowRequest(QFile::encodeName(planted).constData(), 500), -1);
    QCOMPARE(readFile(target), QByteArray("precious"));
    QCOMPARE(readFile(planted), QByteArray("precious"));
}

void TestRequestFifo::listenerReplacesPlantedLink()
{
    QString target = m_dir.filePath("link-victim");
    QString planted = m_dir.filePath("link-planted");
    QVERIFY(writeFile(target, "precious"));
    QVERIFY(QFile::link(target, planted));
    myListen listener(QFile::encodeName(planted).constData());
    struct stat st {};
    QCOMPARE(lstat(QFile::encodeName(planted).constData(), &st), 0);
    QVERIFY(S_ISFIFO(st.st_mode));
    QCOMPARE(readFile(target), QByteArray("precious"));
}

QTEST_GUILESS_MAIN(TestRequestFifo)
#include "tst_requestfifo.moc"
