// Helpers shared by the token tests: reach the scripted library's control block and fill its lists.
#ifndef KEYMGR_TESTS_FAKEACCESS_H
#define KEYMGR_TESTS_FAKEACCESS_H

#include "capture.h"
#include "scriptfake.h"

#include <QByteArray>

#include <dlfcn.h>

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

#endif
