// Times LM_GetUserCert as an outside program sees it: loads libkeyprobe with dlopen, learns the
// blob size with a first call (it also loads the SKF library), then times the given number of
// calls into a buffer of that size. One query is one LM_GetUserCert call.
// Usage: bench_keyprobe <path of libkeyprobe.so> <queries>
// Prints one line: "<queries> <first query us> <mean us> <median us> <blob bytes> <items>".
#include "keyprobe.h"

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

bool query(LM_GetUserCert_fn getUserCert, std::vector<unsigned char>& blob)
{
    unsigned long size = blob.size();
    return getUserCert(blob.data(), &size) == KEYPROBE_OK && size == blob.size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <libkeyprobe.so> <queries>\n", argv[0]);
        return 2;
    }
    long queries = std::strtol(argv[2], nullptr, 10);
    if (queries < 1) {
        std::fprintf(stderr, "bench_keyprobe: the number of queries must be at least 1\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "bench_keyprobe: %s\n", dlerror());
        return 1;
    }
    auto getUserCert = reinterpret_cast<LM_GetUserCert_fn>(dlsym(library, KEYPROBE_SYMBOL_GET_USER_CERT));
    if (getUserCert == nullptr) {
        std::fprintf(stderr, "bench_keyprobe: %s is missing\n", KEYPROBE_SYMBOL_GET_USER_CERT);
        return 1;
    }

    unsigned long size = 0;
    Clock::time_point start = Clock::now();
    uint32_t rc = getUserCert(nullptr, &size);
    double first = microseconds(Clock::now() - start);
    if (rc != KEYPROBE_BUFFER_TOO_SMALL) {
        std::fprintf(stderr, "bench_keyprobe: the first query failed with 0x%08X\n", rc);
        return 1;
    }
    std::vector<unsigned char> blob(size, 0);

    std::vector<double> times;
    times.reserve(size_t(queries));
    for (long i = 0; i < queries; ++i) {
        start = Clock::now();
        if (!query(getUserCert, blob)) {
            std::fprintf(stderr, "bench_keyprobe: query %ld failed\n", i + 1);
            return 1;
        }
        times.push_back(microseconds(Clock::now() - start));
    }
    double total = 0;
    for (double t : times)
        total += t;
    std::sort(times.begin(), times.end());
    std::printf("%ld %.1f %.1f %.1f %zu %u\n", queries, first, total / double(queries), times[times.size() / 2],
                blob.size(), blob.size() >= 4 ? unsigned(blob[3]) : 0u);
    return 0;
}
