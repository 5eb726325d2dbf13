#include "freewatch.h"

#include <QByteArray>

#if defined(__SANITIZE_ADDRESS__)
#define KEYMGR_FREEWATCH 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEYMGR_FREEWATCH 0
#endif
#endif
#ifndef KEYMGR_FREEWATCH
#define KEYMGR_FREEWATCH 1
#endif

#if KEYMGR_FREEWATCH

#include <atomic>
#include <cstring>
#include <execinfo.h>
#include <malloc.h>

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_realloc(void* block, size_t size);
extern "C" void __libc_free(void* block);

namespace {

// Fixed storage: free() must not allocate.
constexpr int kForms = 16;
constexpr std::size_t kSecretMax = 256;
constexpr int kTraces = 4;
constexpr int kFrames = 16;

struct Form
{
    char bytes[kSecretMax];
    std::size_t size;
};
Form g_forms[kForms];
int g_formCount = 0;
std::atomic<bool> g_armed{false};
std::atomic<int> g_found{0};
void* g_trace[kTraces][kFrames];
int g_depth[kTraces];
// Set while free() records where it was called from: backtrace() may allocate the first time.
thread_local bool t_recording = false;

void checkReleased(void* block)
{
    if (!block || !g_armed.load(std::memory_order_acquire) || t_recording)
        return;
    const std::size_t size = malloc_usable_size(block);
    for (int i = 0; i < g_formCount; ++i) {
        if (!memmem(block, size, g_forms[i].bytes, g_forms[i].size))
            continue;
        t_recording = true;
        const int n = g_found.fetch_add(1);
        if (n < kTraces)
            g_depth[n] = backtrace(g_trace[n], kFrames);
        t_recording = false;
        return;
    }
}

void addForm(const QByteArray& bytes)
{
    if (bytes.isEmpty() || bytes.size() > int(kSecretMax) || g_formCount == kForms)
        return;
    std::memcpy(g_forms[g_formCount].bytes, bytes.constData(), std::size_t(bytes.size()));
    g_forms[g_formCount++].size = std::size_t(bytes.size());
}

} // namespace

extern "C" void free(void* block)
{
    checkReleased(block);
    __libc_free(block);
}

// Whether a growing block moves is the allocator's choice; while watching it always moves, so that
// the block left behind is looked at like any other.
extern "C" void* realloc(void* block, size_t size)
{
    if (!block || size == 0 || !g_armed.load(std::memory_order_acquire) || t_recording)
        return __libc_realloc(block, size);
    void* moved = __libc_malloc(size);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, std::min(size, malloc_usable_size(block)));
    free(block);
    return moved;
}

FreeWatch::FreeWatch(const QStringList& secrets)
{
    g_armed = false;
    g_formCount = 0;
    g_found = 0;
    for (const QString& secret : secrets) {
        addForm(secret.toUtf8());
        if (secret.toLatin1() != secret.toUtf8())
            addForm(secret.toLatin1());
        addForm(QByteArray(reinterpret_cast<const char*>(secret.utf16()), secret.size() * 2));
    }
    g_armed.store(true, std::memory_order_release);
}

bool FreeWatch::available()
{
    return true;
}

QString FreeWatch::unwiped()
{
    g_armed = false;
    const int found = g_found.exchange(0);
    if (found == 0)
        return QString();
    QString where = QStringLiteral("%1 block(s) freed still holding the secret").arg(found);
    for (int n = 0; n < std::min(found, kTraces); ++n) {
        where += QStringLiteral("\nfreed at:");
        char** symbols = backtrace_symbols(g_trace[n], g_depth[n]);
        for (int f = 1; symbols && f < g_depth[n]; ++f)
            where += QStringLiteral("\n  ") + QString::fromLocal8Bit(symbols[f]);
        __libc_free(symbols);
    }
    return where;
}

#else

FreeWatch::FreeWatch(const QStringList&) {}

bool FreeWatch::available()
{
    return false;
}

QString FreeWatch::unwiped()
{
    return QString();
}

#endif

FreeWatch::~FreeWatch()
{
    unwiped();
}
