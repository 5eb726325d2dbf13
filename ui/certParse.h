// The certificate expiry check: finds the first certificate a token carries and tells how long it
// has left, and the rule that turns that time into a notice for the user.
#ifndef KEYMGR_CERTPARSE_H
#define KEYMGR_CERTPARSE_H

#include "skf_defs.h"

#include <openssl/types.h>

#include <cstddef>

class CGMSKFOperator;

class certParse
{
public:
    // Seconds from now to the start of the expiry day of the first certificate of deviceName
    // (containers in list order, encryption certificate before signature certificate).
    // 0 when one was found, -1 otherwise: no device, application, container or certificate, or
    // one that cannot be decoded or whose end date cannot be read.
    int certValid(const char* deviceName, long* secondsLeft);
    // The same for the application open in app, whose handle the scan leaves open.
    static int firstCertificateIn(CGMSKFOperator* skf, HAPPLICATION app, long* secondsLeft);

    // The same for a DER certificate in memory: 0, or -1 when it cannot be decoded or read.
    static int secondsLeftOf(const unsigned char* der, std::size_t len, long* secondsLeft);
};

// The date of an ASN.1 time: "YYYY-MM-DD" into text (at least 16 bytes) and the three numbers.
// UTCTime carries two year digits (below 50 means 20yy, else 19yy), GeneralizedTime four.
// 0 when read; -1, with nothing set, for a time that is too short, not digits or out of range.
int getUTCTime(const ASN1_TIME* t, char* text, int* year, int* month, int* day);

// mktime of text read as "%Y%m%d%H%M%S" in local time: 0, or -1 when text does not parse.
int stringToTimestamp(const char* text, long* out);

// The current time as mktime(localtime(now)): always 0.
int getCurrentTimestamp(long* out);

// What the user is told about a certificate with secondsLeft seconds left.
struct ExpiryNotice
{
    enum Kind { None, Balloon, Warning, Critical };
    Kind kind = None;
    long days = 0; // days left (None, Balloon, Warning) or days since expiry (Critical)
};

// Expired a whole day or more: Critical with the full days since. Otherwise days left counts the
// day in progress (truncated toward zero, plus one): above 30 None, 8 to 30 Balloon, else Warning.
ExpiryNotice expiryNoticeFor(long secondsLeft);

#endif
