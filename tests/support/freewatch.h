// Whether memory released while the watch is on still held a secret: the test program's own free()
// looks through every block for the secret's bytes (as UTF-8, Latin-1 and UTF-16) before handing it
// back to the C library, so a PIN freed without being overwritten is found wherever that happens.
//
// Not in the sanitizer build: AddressSanitizer owns malloc and free there, and a free() of ours would
// go around it. available() then says false and nothing is ever found.
#ifndef KEYMGR_TESTS_FREEWATCH_H
#define KEYMGR_TESTS_FREEWATCH_H

#include <QString>
#include <QStringList>

class FreeWatch
{
public:
    // Watches from now on; the secrets' own strings must outlive the watch (it keeps copies of its own).
    explicit FreeWatch(const QStringList& secrets);
    ~FreeWatch();
    FreeWatch(const FreeWatch&) = delete;
    FreeWatch& operator=(const FreeWatch&) = delete;

    static bool available();
    // Stops watching: where the blocks released with a secret in them were freed, empty when none
    // (or when the watch is not available).
    QString unwiped();
};

#endif
