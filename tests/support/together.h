// Runs fn(0) ... fn(threads - 1) on as many threads, released at the same moment, and joins them:
// for races on first use and concurrent calls.
#ifndef KEYMGR_TESTS_TOGETHER_H
#define KEYMGR_TESTS_TOGETHER_H

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

inline void runTogether(int threads, const std::function<void(int)>& fn)
{
    std::atomic<int> ready{0};
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; ++i)
        pool.emplace_back([&, i] {
            ++ready;
            while (ready.load() < threads)
                std::this_thread::yield();
            fn(i);
        });
    for (std::thread& t : pool)
        t.join();
}

#endif
