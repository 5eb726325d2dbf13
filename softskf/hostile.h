// The hostile modes: switches that make softskf answer like a broken library.
#ifndef SOFTSKF_HOSTILE_H
#define SOFTSKF_HOSTILE_H

#include <cstdint>

namespace softskf {

struct HostileMode
{
    const char* name;
    uint64_t defaultParameter; // 0 when the mode takes none
    const char* description;
};

extern const HostileMode kHostileModes[];
extern const int kHostileModeCount;
const HostileMode* findHostileMode(const char* name);

} // namespace softskf

#endif
