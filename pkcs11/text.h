// Token text as PKCS#11 shows it: names and DEVINFO fields arrive as bytes in no stated encoding
// and leave as UTF-8 in fixed-width, space-padded fields.
#ifndef KEYMGR_PKCS11_TEXT_H
#define KEYMGR_PKCS11_TEXT_H

#include <cstddef>
#include <string>

namespace p11 {

// The bytes as the window shows them: UTF-8 as it is, else decoded from GB18030 (what enrolment
// software on Chinese systems writes), else with every byte outside ASCII escaped as \xNN. Control
// characters are escaped in every case, so a name cannot drive a terminal.
std::string displayText(const std::string& bytes);

// Fills a fixed-width field: the text cut to the width at a character boundary, then spaces.
void padField(const std::string& utf8, unsigned char* field, std::size_t width);

// The last bytes of the text that fit the width, starting at a character boundary: the end of a
// serial number tells tokens apart, its start often does not.
std::string tailThatFits(const std::string& utf8, std::size_t width);

} // namespace p11

#endif
