#include "keymgr_app.h"

#include <QtTest>

#include <QSharedMemory>

#include <sys/wait.h>
#include <unistd.h>

class TestSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void noSegmentMeansFirstCopy();
    void liveSegmentMeansSecondCopy();
    void staleSegmentOfKilledCopyIsRemoved();

private:
    QString uniqueKey(const char* tag) const
    {
        return QString("keymgr-test-%1-%2").arg(tag).arg(QCoreApplication::applicationPid());
    }
};

void TestSingleInstance::noSegmentMeansFirstCopy()
{
    QSharedMemory probe(uniqueKey("none"));
    QVERIFY(!anotherInstanceRunning(probe));
    QVERIFY(!probe.isAttached());
}

void TestSingleInstance::liveSegmentMeansSecondCopy()
{
    QSharedMemory first(uniqueKey("live"));
    QVERIFY(first.create(1));

    QSharedMemory second(uniqueKey("live"));
    QVERIFY(anotherInstanceRunning(second));
    QVERIFY(!second.isAttached());
    // The check must not have removed the running copy's segment.
    QSharedMemory third(uniqueKey("live"));
    QVERIFY(anotherInstanceRunning(third));
}

void TestSingleInstance::staleSegmentOfKilledCopyIsRemoved()
{
    const QString key = uniqueKey("stale");
    pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // A copy that dies without detaching leaves its segment behind.
        QSharedMemory memory(key);
        _exit(memory.create(1) ? 0 : 1);
    }
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 0);

    QSharedMemory leftOver(key);
    QVERIFY2(leftOver.attach(), "the killed copy's segment should still exist");
    leftOver.detach();

    // The detach above already removed it; a fresh left-over proves the guard itself does it.
    child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        QSharedMemory memory(key);
        _exit(memory.create(1) ? 0 : 1);
    }
    QCOMPARE(waitpid(child, &status, 0), child);
    QCOMPARE(WEXITSTATUS(status), 0);

    QSharedMemory next(key);
    QVERIFY(!anotherInstanceRunning(next));
    QVERIFY2(next.create(1), qPrintable(next.errorString()));
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
