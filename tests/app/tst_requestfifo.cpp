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
    void cleanupTestCase();
    void isShowRequest_data();
    void isShowRequest();
    void everyShowReachesTheWindow();
    void otherTextIsIgnored();
    void readerSleepsWhileIdle();
    void fifoIsOwnerOnlyWhateverTheMask();
    void writerGivesUpWithoutReader();

private:
    QTemporaryDir m_dir;
    QByteArray m_fifo;
    myListen* m_listener = nullptr;
};

void TestRequestFifo::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_fifo = QFile::encodeName(m_dir.filePath("request"));
    m_listener = new myListen(m_fifo);
    m_listener->start();
    QTRY_VERIFY_WITH_TIMEOUT(threadstate::fifoReaderIdle(m_fifo, getpid(), "myListen"), 5000);
}

void TestRequestFifo::cleanupTestCase()
{
    // The reader wakes for its stop, and its FIFO goes with it.
    m_listener->stop();
    QVERIFY(m_listener->wait(5000));
    delete m_listener;
    QVERIFY(!QFileInfo::exists(QFile::decodeName(m_fifo)));
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
    myListen listener(path);
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
}

QTEST_GUILESS_MAIN(TestRequestFifo)
#include "tst_requestfifo.moc"
