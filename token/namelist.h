// Readers for what the SKF library hands back: multi-string name lists (each name ended by a zero
// byte, the list ended by an empty name), certificates, and the fixed-width text fields of DEVINFO.
// Nothing here trusts a size or a terminator from the library beyond the buffer it lands in.
#ifndef KEYMGR_NAMELIST_H
#define KEYMGR_NAMELIST_H

#include "skf_defs.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace keymgr {

// Largest name list we are willing to allocate for; a library reporting more is refused.
constexpr ULONG kMaxNameListSize = 1024 * 1024;
// A first-try buffer that holds the device or application list of any usual token.
constexpr ULONG kNameListFirstTry = 1024;

// The names of a list in buf, walking at most min(reported, capacity) bytes. The list ends at an
// empty name or at that limit. A last name without its zero byte is kept when the library's own
// size ends it; it is dropped when it runs into the end of the buffer, where it may have been cut,
// and so is a name ending in the buffer's last byte when the library reports a larger size.
std::vector<std::string> splitNameList(const char* buf, std::size_t capacity, std::size_t reported);

// The first name of the list, or an empty string when the list is empty.
std::string firstName(const char* buf, std::size_t capacity, std::size_t reported);

// One call of the size-then-fetch protocol: list == nullptr asks for the size.
using NameListCall = std::function<ULONG(LPSTR list, ULONG* size)>;

// Fetches a whole list with the size-then-fetch protocol and splits it. A list that grew between
// the two calls is fetched again with the larger size (a few times at most). Returns the
// library's result (0 on success), or SAR_MEMORYERR for a size above kMaxNameListSize.
// With firstTry, the list is first fetched into a buffer of that size without asking for the size:
// one call instead of two on a slow token whenever the list fits, the protocol above when it does not.
ULONG fetchNameList(const NameListCall& call, std::vector<std::string>* names, ULONG firstTry = 0);

// Largest certificate we are willing to allocate for; a library reporting more is refused.
constexpr ULONG kMaxCertificateSize = 1024 * 1024;
// A first-try buffer that holds the certificate of any usual token.
constexpr ULONG kCertificateFirstTry = 10240;

// One call of the size-then-fetch protocol for bytes: buf == nullptr asks for the size.
using ByteCall = std::function<ULONG(BYTE* buf, ULONG* size)>;

// Reads a certificate whole, however large, with the protocol and guards of fetchNameList: first
// into a buffer of kCertificateFirstTry bytes (one call for any usual certificate), then, when the
// library finds it too small, into one of the size it names; a size above kMaxCertificateSize is
// refused with SAR_MEMORYERR. *der gets the bytes the library wrote, never more than the buffer
// given, cut to the certificate's own encoded length when they begin with one (a length the
// library overstated adds nothing). A failing first call is the answer: no certificate.
ULONG fetchCertificate(const ByteCall& call, std::vector<BYTE>* der);
// The same without the first try: the size is asked first, then the bytes fetched.
ULONG fetchCertificateSized(const ByteCall& call, std::vector<BYTE>* der);

// A DEVINFO text field: its bytes up to the first zero, never past the field's width.
std::string fixedText(const char* field, std::size_t width);
template <std::size_t N> std::string fixedText(const char (&field)[N])
{
    return fixedText(field, N);
}

} // namespace keymgr

#endif
