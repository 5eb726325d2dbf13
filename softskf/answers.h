// How softskf hands data back: the two-call size protocol, name lists, and the hostile
// variants of both.
#ifndef SOFTSKF_ANSWERS_H
#define SOFTSKF_ANSWERS_H

#include "skf_defs.h"
#include "store.h"

#include <string>
#include <vector>

namespace softskf {

struct Hostility
{
    bool growingList = false;
    bool listNoTerminator = false;
    bool listUnterminatedName = false;
    bool emptyListTwoNuls = false;
    bool sizeOverstated = false;
    bool devinfoUnterminated = false;
    uint64_t longCert = 0;  // minimum certificate size, 0 when off
    uint32_t rsaBitLen = 0; // reported RSA bit length, 0 when off

    static Hostility from(const Control& control);
};

// The multi-string form of names; *ghosts counts the extra names of the growing-list mode
// and is advanced by every size query.
std::string multiString(const std::vector<std::string>& names, const Hostility& hostility, unsigned* ghosts,
                        bool sizeQuery, const char* ghostPrefix);

// Two-call protocol: a null buffer asks for the size; a buffer smaller than the data gets
// SAR_BUFFER_TOO_SMALL with the size needed; otherwise the data is copied and its size returned.
ULONG answerBytes(const std::string& data, const Hostility& hostility, void* buffer, ULONG* size);

void fillDevInfo(const Token& token, const Hostility& hostility, DEVINFO* info);

} // namespace softskf

#endif
