#include "mgrversion.h"

#include "keymgr_config.h"

#include <cstdio>
#include <cstring>

namespace {
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
}

int makeMgrVersion(const char* buildDate, char* version, char* ownership)
{
    char month[16] = {};
    int day = 0;
    int year = 0;
    if (sscanf(buildDate, "%15s %d %d", month, &day, &year) != 3) {
        day = 0;
        year = 0;
    }
    int monthNo = 13;
    for (int i = 0; i < 12; ++i) {
        if (strcmp(month, kMonths[i]) == 0) {
            monthNo = i + 1;
            break;
        }
    }

    char text[64] = {};
    snprintf(text, sizeof text, "版本：V%s_%02d%02d%02d", KEYMGR_PRODUCT_VERSION, year % 100, monthNo, day);
    memcpy(version, text, strlen(text));

    char owner[64] = {};
    snprintf(owner, sizeof owner, "Copyright (C) 20%02d Lumeno Technologies", year % 100);
    memcpy(ownership, owner, strlen(owner));
    return 0;
}

int getMgrVersion(char* version, char* ownership)
{
    int month = KEYMGR_BUILD_MONTH;
    char date[32] = {};
    snprintf(date, sizeof date, "%s %2d %d", month >= 1 && month <= 12 ? kMonths[month - 1] : "???",
             KEYMGR_BUILD_DAY, KEYMGR_BUILD_YEAR);
    return makeMgrVersion(date, version, ownership);
}
