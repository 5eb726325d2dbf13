#include "daemons.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

extern char** environ;

namespace daemons {

namespace {

struct ProcStat
{
    char state = 0;
    qint64 ppid = 0;
    qint64 session = 0;
};

bool readStat(qint64 pid, ProcStat* stat)
{
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // "pid (comm) state ppid pgrp session ...": comm may hold anything, so fields count from the last ')'.
    const QByteArray text = file.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 4)
        return false;
    *stat = {fields[0].at(0), fields[1].toLongLong(), fields[3].toLongLong()};
    return true;
}

qint64 ownerOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : file.readAll().split('\n')) {
        if (line.startsWith("Uid:"))
            return line.mid(4).simplified().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

bool adopt()
{
    return prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

qint64 spawn(const QStringList& argv, const QStringList& env, const QString& errFile)
{
    std::vector<QByteArray> bytes;
    for (const QString& s : argv + env)
        bytes.push_back(QFile::encodeName(s));
    std::vector<char*> args, vars;
    for (int i = 0; i < int(bytes.size()); ++i)
        (i < argv.size() ? args : vars).push_back(bytes[size_t(i)].data());
    args.push_back(nullptr);
    vars.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray err = QFile::encodeName(errFile);
    if (!errFile.isEmpty())
        posix_spawn_file_actions_addopen(&actions, 2, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.isEmpty() ? environ : vars.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int waitForExit(qint64 pid, int ms)
{
    QElapsedTimer timer;
    timer.start();
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_t(pid), &status, WNOHANG);
        if (done == pid_t(pid))
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0 || timer.elapsed() >= ms)
            return -1;
        QTest::qWait(20);
    }
}

bool running(qint64 pid)
{
    ProcStat stat;
    return readStat(pid, &stat) && stat.state != 'Z' && stat.state != 'X';
}

qint64 waitForResident(const QString& exe, qint64 uid, int ms)
{
    const QString canonical = QFileInfo(exe).canonicalFilePath();
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        QList<qint64> copies;
        int daemons = 0;
        for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const qint64 pid = entry.toLongLong();
            ProcStat stat;
            if (pid <= 0 || QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)) != canonical ||
                (uid >= 0 && ownerOf(pid) != uid) || !readStat(pid, &stat) || stat.state == 'Z')
                continue;
            copies << pid;
            // The first fork leads its own session; the daemon it leaves behind does not.
            if (stat.ppid == getpid() && stat.session != pid)
                ++daemons;
        }
        if (copies.size() == 1 && daemons == 1)
            return copies.first();
        if (copies.isEmpty() || daemons > 1 || timer.elapsed() >= ms) {
            qWarning() << "copies of" << exe << "for uid" << uid << ":" << copies;
            return 0;
        }
        QTest::qWait(50);
    }
}

} // namespace daemons
