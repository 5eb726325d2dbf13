#include "skf_binding.h"

#include "keymgr_config.h"

#include <dlfcn.h>

#include <cstdio>

// A build for a test may point the module elsewhere; every other build uses the one path.
#ifndef P11_SKF_LIBRARY_PATH
#define P11_SKF_LIBRARY_PATH KEYMGR_SKF_LIBRARY_PATH
#endif

namespace p11 {

namespace {

SkfTable g_table;
bool g_loaded = false;
bool g_told = false;

} // namespace

bool loadSkf()
{
    if (g_loaded)
        return true;
    void* handle = dlopen(P11_SKF_LIBRARY_PATH, RTLD_LAZY | RTLD_LOCAL);
    if (!handle) {
        const char* message = dlerror();
        // The host program (a browser, an agent) gets one line, not one per call.
        if (!g_told)
            std::fprintf(stderr, "keymgr-pkcs11: %s\n", message ? message : "cannot load the SKF library");
        g_told = true;
        return false;
    }
#define P11_SKF_RESOLVE(name) g_table.name = reinterpret_cast<PFN_##name>(dlsym(handle, #name));
    P11_SKF_TABLE(P11_SKF_RESOLVE)
#undef P11_SKF_RESOLVE
    dlerror();
    g_loaded = true;
    return true;
}

bool skfLoaded()
{
    return g_loaded;
}

const SkfTable& skf()
{
    return g_table;
}

} // namespace p11
