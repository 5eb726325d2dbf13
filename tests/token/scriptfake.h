// A scripted SKF library for the token tests: a test loads it like the vendor library and sets
// exactly what each call answers, including answers no sound library gives (sizes beyond the
// buffer, lists and names without terminators, a 64-bit BOOL written through a pointer).
#ifndef KEYMGR_TESTS_SCRIPTFAKE_H
#define KEYMGR_TESTS_SCRIPTFAKE_H

#include "skf_defs.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct ScriptList
{
    std::string content;           // the list as the library keeps it, zero bytes included
    std::string grown;             // when not empty: the list once the size has been asked (it grew)
    uint32_t extraReported = 0;    // added to the size a fetch reports (a size larger than the buffer)
    bool truncateSilently = false; // a too-small buffer gets what fits and success
    bool sizeAsked = false;
};

struct ScriptEvent
{
    uint32_t code = 0;
    std::string name;
    uint32_t reportedLength = 0; // 0: the name's length plus its zero
    bool fillBuffer = false;     // write the whole offered buffer, no terminator
};

struct ScriptFake
{
    std::mutex lock;
    ScriptList devices;
    ScriptList apps;
    ScriptList containers;

    // Containers by name: their type, whether opening them fails, whether the type query fails, whether deleting it fails.
    std::map<std::string, uint32_t> containerTypes;
    std::set<std::string> openFails;
    std::set<std::string> typeQueryFails;
    std::set<std::string> deleteFails;
    std::vector<std::string> opened; // handle n+1 is opened[n]
    std::vector<std::string> deletedContainers;
    std::vector<std::string> deletedApps;
    std::vector<std::string> connected;
    uint32_t genRandomCalls = 0;

    // SKF_GetPINInfo writes this many bytes of pinDefault through pbDefaultPin.
    uint64_t pinDefault = 1;
    int pinDefaultBytes = 8;

    DEVINFO devInfo{};

    std::string certificate;
    uint32_t certExtraReported = 0;

    // Event wait: blocks until an event is queued or the wait is cancelled.
    std::condition_variable wake;
    std::deque<ScriptEvent> events;
    bool cancelRequested = false;
    std::vector<uint32_t> offeredSizes;
    uint32_t waitResult = SAR_OK; // a nonzero value makes every wait fail at once
    uint32_t failedWaits = 0;
};

extern "C" ScriptFake* scriptfake_control();
typedef ScriptFake* (*PFN_scriptfake_control)();

#endif
