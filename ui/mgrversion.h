// The version and ownership texts of this build, shown on the window's about page.
#ifndef KEYMGR_MGRVERSION_H
#define KEYMGR_MGRVERSION_H

// Version line "版本：V<version>_<yymmdd>" and ownership line of this build. Both buffers are
// zero-filled by the caller and at least 64 bytes; the texts are copied without terminator.
int getMgrVersion(char* version, char* ownership);
// The same from a date in the compiler's form ("Sep  5 2024"); an unknown month counts as 13.
int makeMgrVersion(const char* buildDate, char* version, char* ownership);

#endif
