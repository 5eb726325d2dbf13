// Fuzzes what the PKCS#11 module reads from the token with code of its own. The first byte picks the
// reader: 'R' an RSA public key blob, 'E' an SM2 one, 'C' a certificate, anything else token text.
// A key taken must be one PKCS#11 can describe; text must come out as UTF-8 without control bytes,
// cut only between characters.
#include "keyblob.h"
#include "text.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

void checkKey(const p11::PublicKey& key)
{
    if (key.type == CKK_RSA) {
        check(!key.modulus.empty() && key.modulus[0] != '\0' && !key.exponent.empty() && key.exponent[0] != '\0');
        check(key.point.empty());
    } else {
        check(key.type == CKK_EC && key.point.size() == 65 && key.point[0] == '\x04' && key.modulus.empty());
    }
    check(p11::keyId(key).size() == 20);
}

void checkText(const std::string& bytes)
{
    const std::string text = p11::displayText(bytes);
    for (unsigned char c : text)
        check(c >= 0x20 && c != 0x7F);
    for (std::size_t width : {1, 16, 32, 64}) {
        unsigned char field[64];
        p11::padField(text, field, width);
        std::size_t used = width;
        while (used > 0 && field[used - 1] == ' ')
            --used;
        check(text.compare(0, used, reinterpret_cast<const char*>(field), used) == 0);
        // The cut falls before a character, never inside one.
        check(used >= text.size() || (static_cast<unsigned char>(text[used]) & 0xC0) != 0x80);
        const std::string tail = p11::tailThatFits(text, width);
        check(tail.size() <= width && text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
        check(tail.empty() || (static_cast<unsigned char>(tail[0]) & 0xC0) != 0x80);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const unsigned char* body = data + 1;
    const std::size_t length = size - 1;
    p11::PublicKey key;
    p11::CertificateFields fields;
    switch (data[0]) {
    case 'R':
        if (p11::parseRsaBlob(body, length, &key)) {
            checkKey(key);
            check(key.modulusBits() >= 1024 && key.modulusBits() <= 2048 && key.modulusBits() % 8 == 0);
        }
        break;
    case 'E':
        if (p11::parseEccBlob(body, length, &key))
            checkKey(key);
        break;
    case 'C':
        if (p11::parseCertificate(body, length, &fields)) {
            check(!fields.subject.empty() && !fields.issuer.empty() && fields.serial[0] == '\x02');
            if (fields.key.valid())
                checkKey(fields.key);
        }
        break;
    default:
        checkText(std::string(reinterpret_cast<const char*>(body), length));
        break;
    }
    return 0;
}
