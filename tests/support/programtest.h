// For tests of the whole program: helper programs (xdotool, import) run to their end, and a main()
// that takes the program under test as its first argument.
#ifndef KEYMGR_TESTS_PROGRAMTEST_H
#define KEYMGR_TESTS_PROGRAMTEST_H

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <QtTest>

// The program's trimmed standard output; *exitCode gets its exit status, -1 when it did not end
// normally within 20 s.
inline QString runProgram(const QString& program, const QStringList& args, int* exitCode = nullptr)
{
    QProcess process;
    process.start(program, args);
    process.waitForFinished(20000);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The first argument goes to programPath; the rest go to QtTest.
#define KEYMGR_PROGRAM_TEST_MAIN(TestClass, programPath)                                                               \
    int main(int argc, char* argv[])                                                                                   \
    {                                                                                                                  \
        QCoreApplication app(argc, argv);                                                                              \
        QStringList args = app.arguments();                                                                            \
        if (args.size() > 1)                                                                                           \
            programPath = args.takeAt(1);                                                                              \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, args);                                                                              \
    }

#endif
