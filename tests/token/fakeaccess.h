// Helpers shared by the token tests: reach the scripted library's control block and capture what
// a call writes to standard output or standard error.
#ifndef KEYMGR_TESTS_FAKEACCESS_H
#define KEYMGR_TESTS_FAKEACCESS_H

#include "scriptfake.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

// The control block of the scripted library at path, loaded once per process.
inline ScriptFake* scriptFakeAt(const QByteArray& path)
{
    void* handle = dlopen(path.constData(), RTLD_LAZY);
    if (!handle)
        return nullptr;
    auto control = reinterpret_cast<PFN_scriptfake_control>(dlsym(handle, "scriptfake_control"));
    return control ? control() : nullptr;
}

inline void resetList(ScriptList& list, const QByteArray& content)
{
    list = ScriptList();
    list.content.assign(content.constData(), content.size());
}

// Runs work with the descriptor fd (1 or 2) sent to a temporary file and returns what was written.
inline QByteArray captureFd(int fd, const std::function<void()>& work)
{
    QTemporaryFile file;
    if (!file.open())
        return QByteArray("capture failed");
    std::fflush(fd == 1 ? stdout : stderr);
    const int saved = dup(fd);
    dup2(file.handle(), fd);
    work();
    std::fflush(fd == 1 ? stdout : stderr);
    dup2(saved, fd);
    close(saved);
    QFile reader(file.fileName());
    reader.open(QIODevice::ReadOnly);
    return reader.readAll();
}

#endif
