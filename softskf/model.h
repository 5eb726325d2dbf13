// The content of one token as the store keeps it, and its text form.
#ifndef SOFTSKF_MODEL_H
#define SOFTSKF_MODEL_H

#include <cstdint>
#include <string>
#include <vector>

namespace softskf {

// PINs are kept as PBKDF2 hashes with their own salt, never in clear.
struct Pin
{
    std::string salt;
    std::string hash;
    uint32_t maxRetries = 6;
    uint32_t remaining = 6;
    bool isDefault = false;
};

// Key pairs are DER private keys (their public halves derive from them); certificates are the
// bytes given, unchanged.
struct Container
{
    std::string name;
    uint32_t type = 0;
    std::string signKey;
    std::string encKey;
    std::string signCert;
    std::string encCert;
};

// A file of an application: its size is fixed when it is created and counts against the
// token's free space; rights are SECURE_*_ACCOUNT values, OR'ed.
struct File
{
    std::string name;
    uint32_t readRights = 0xFF;
    uint32_t writeRights = 0x10;
    std::string data;
};

struct Application
{
    std::string name;
    Pin so;
    Pin user;
    uint32_t fileRights = 0xFF; // needed to create and delete files
    std::vector<File> files;
    std::vector<Container> containers;

    Container* container(const std::string& containerName);
    File* file(const std::string& fileName);
};

struct Token
{
    std::string name;
    std::string serial;
    std::string label;
    std::string manufacturer;
    std::string issuer;
    uint8_t hwMajor = 1;
    uint8_t hwMinor = 0;
    uint8_t fwMajor = 1;
    uint8_t fwMinor = 0;
    uint32_t totalSpace = 65536;
    uint32_t freeSpace = 32768;
    std::string authKey; // 16 bytes
    bool present = true;
    // Counts insertions; handles opened before the latest insertion are stale.
    uint64_t generation = 1;
    // Random per created token: a token deleted and created again under its name is another token.
    std::string instance;
    std::vector<Application> apps;

    Application* app(const std::string& appName);
};

std::string serializeToken(const Token& token);
bool parseToken(const std::string& text, Token* token, std::string* error);

std::string toHex(const std::string& bytes);
bool fromHex(const std::string& hex, std::string* bytes);
// The value of one hexadecimal digit, -1 for another character.
int hexValue(char c);

// Device names become directory names: letters, digits, '.', '_', '-' and bytes from 0x80 on (any
// encoding, valid or not), not starting with '.'.
bool validDeviceName(const std::string& name);
// A name given by a caller: present, not empty and at most max bytes.
bool validName(const char* name, size_t max);
constexpr size_t kMaxDeviceName = 63;
constexpr size_t kMaxObjectName = 64; // applications and containers
constexpr size_t kMaxFileName = 32;
constexpr size_t kMaxLabel = 31;
constexpr size_t kMinPin = 6;
constexpr size_t kMaxPin = 64;

} // namespace softskf

#endif
