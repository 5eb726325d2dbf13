#include "model.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace softskf {

Container* Application::container(const std::string& containerName)
{
    for (Container& c : containers) {
        if (c.name == containerName)
            return &c;
    }
    return nullptr;
}

File* Application::file(const std::string& fileName)
{
    for (File& f : files) {
        if (f.name == fileName)
            return &f;
    }
    return nullptr;
}

Application* Token::app(const std::string& appName)
{
    for (Application& a : apps) {
        if (a.name == appName)
            return &a;
    }
    return nullptr;
}

std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool fromHex(const std::string& hex, std::string* bytes)
{
    if (hex.size() % 2)
        return false;
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = hexValue(hex[i]);
        int lo = hexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi << 4 | lo);
    }
    *bytes = out;
    return true;
}

bool validDeviceName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxDeviceName || name[0] == '.')
        return false;
    for (char c : name) {
        // Bytes from 0x80 on stay: enrolment programs name tokens in GBK or UTF-8.
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                  c == '-' || static_cast<unsigned char>(c) >= 0x80;
        if (!ok)
            return false;
    }
    return true;
}

bool validName(const char* name, size_t max)
{
    if (!name)
        return false;
    size_t len = strnlen(name, max + 1);
    return len > 0 && len <= max;
}

namespace {

// Text values: printable bytes stay, backslash and control bytes become \xHH.
std::string escape(const std::string& value)
{
    std::string out;
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool unescape(const std::string& value, std::string* out)
{
    std::string result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\') {
            result += value[i];
            continue;
        }
        if (i + 3 >= value.size() || value[i + 1] != 'x')
            return false;
        int hi = hexValue(value[i + 2]);
        int lo = hexValue(value[i + 3]);
        if (hi < 0 || lo < 0)
            return false;
        result += static_cast<char>(hi << 4 | lo);
        i += 3;
    }
    *out = result;
    return true;
}

void writePin(std::ostringstream& s, const char* prefix, const Pin& pin)
{
    s << prefix << "-salt " << toHex(pin.salt) << '\n';
    s << prefix << "-hash " << toHex(pin.hash) << '\n';
    s << prefix << "-max " << pin.maxRetries << '\n';
    s << prefix << "-remaining " << pin.remaining << '\n';
    s << prefix << "-default " << (pin.isDefault ? 1 : 0) << '\n';
}

bool parseNumber(const std::string& text, uint64_t max, uint64_t* out)
{
    if (text.empty() || text.size() > 20)
        return false;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (*end != '\0' || v > max || text[0] == '-')
        return false;
    *out = v;
    return true;
}

} // namespace

std::string serializeToken(const Token& t)
{
    std::ostringstream s;
    s << "softskf-token 1\n";
    s << "name " << escape(t.name) << '\n';
    s << "serial " << escape(t.serial) << '\n';
    s << "label " << escape(t.label) << '\n';
    s << "manufacturer " << escape(t.manufacturer) << '\n';
    s << "issuer " << escape(t.issuer) << '\n';
    s << "hw-version " << unsigned(t.hwMajor) << ' ' << unsigned(t.hwMinor) << '\n';
    s << "fw-version " << unsigned(t.fwMajor) << ' ' << unsigned(t.fwMinor) << '\n';
    s << "total-space " << t.totalSpace << '\n';
    s << "free-space " << t.freeSpace << '\n';
    s << "auth-key " << toHex(t.authKey) << '\n';
    s << "present " << (t.present ? 1 : 0) << '\n';
    s << "generation " << t.generation << '\n';
    s << "instance " << toHex(t.instance) << '\n';
    for (const Application& a : t.apps) {
        s << "app " << escape(a.name) << '\n';
        writePin(s, "so", a.so);
        writePin(s, "user", a.user);
        s << "file-rights " << a.fileRights << '\n';
        for (const File& f : a.files) {
            s << "file " << escape(f.name) << '\n';
            s << "file-read " << f.readRights << '\n';
            s << "file-write " << f.writeRights << '\n';
            s << "file-data " << toHex(f.data) << '\n';
        }
        for (const Container& c : a.containers) {
            s << "container " << escape(c.name) << '\n';
            s << "type " << c.type << '\n';
            s << "sign-key " << toHex(c.signKey) << '\n';
            s << "enc-key " << toHex(c.encKey) << '\n';
            s << "sign-cert " << toHex(c.signCert) << '\n';
            s << "enc-cert " << toHex(c.encCert) << '\n';
        }
    }
    s << "end\n";
    return s.str();
}

bool parseToken(const std::string& text, Token* out, std::string* error)
{
    Token t;
    t.apps.clear();
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    bool ended = false;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (ended)
            return fail("text after the end marker");
        if (lineNo == 1) {
            if (line != "softskf-token 1")
                return fail("not a softskf token state file");
            continue;
        }
        if (line == "end") {
            ended = true;
            continue;
        }
        size_t space = line.find(' ');
        std::string key = line.substr(0, space);
        std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        Application* app = t.apps.empty() ? nullptr : &t.apps.back();
        Container* cont = app && !app->containers.empty() ? &app->containers.back() : nullptr;
        uint64_t n = 0;
        std::string bytes;

        auto text = [&](std::string* field) { return unescape(value, field) || fail("bad text for " + key); };
        auto number = [&](uint64_t max, uint64_t* v) { return parseNumber(value, max, v) || fail("bad number"); };
        auto hex = [&](std::string* field) { return fromHex(value, field) || fail("bad hex for " + key); };
        auto version = [&](uint8_t* major, uint8_t* minor) {
            unsigned a = 0, b = 0;
            char extra = 0;
            if (std::sscanf(value.c_str(), "%u %u%c", &a, &b, &extra) != 2 || a > 255 || b > 255)
                return fail("bad version");
            *major = static_cast<uint8_t>(a);
            *minor = static_cast<uint8_t>(b);
            return true;
        };
        auto pinField = [&](Pin* pin, const std::string& field) {
            if (field == "salt")
                return hex(&pin->salt);
            if (field == "hash")
                return hex(&pin->hash);
            if (field == "max" || field == "remaining") {
                if (!number(0xFFFFFFFFu, &n))
                    return false;
                (field == "max" ? pin->maxRetries : pin->remaining) = static_cast<uint32_t>(n);
                return true;
            }
            if (field == "default") {
                if (!number(1, &n))
                    return false;
                pin->isDefault = n == 1;
                return true;
            }
            return fail("unknown key " + key);
        };

        bool ok = true;
        if (key == "name")
            ok = text(&t.name);
        else if (key == "serial")
            ok = text(&t.serial);
        else if (key == "label")
            ok = text(&t.label);
        else if (key == "manufacturer")
            ok = text(&t.manufacturer);
        else if (key == "issuer")
            ok = text(&t.issuer);
        else if (key == "hw-version")
            ok = version(&t.hwMajor, &t.hwMinor);
        else if (key == "fw-version")
            ok = version(&t.fwMajor, &t.fwMinor);
        else if (key == "total-space" || key == "free-space") {
            ok = number(0xFFFFFFFFu, &n);
            (key == "total-space" ? t.totalSpace : t.freeSpace) = static_cast<uint32_t>(n);
        } else if (key == "auth-key")
            ok = hex(&t.authKey);
        else if (key == "present") {
            ok = number(1, &n);
            t.present = n == 1;
        } else if (key == "generation")
            ok = number(UINT64_MAX, &t.generation);
        else if (key == "instance")
            ok = hex(&t.instance);
        else if (key == "app") {
            Application a;
            ok = unescape(value, &a.name) || fail("bad application name");
            t.apps.push_back(a);
        } else if (key.rfind("so-", 0) == 0 || key.rfind("user-", 0) == 0) {
            if (!app)
                return fail(key + " outside an application");
            bool so = key[0] == 's';
            ok = pinField(so ? &app->so : &app->user, key.substr(so ? 3 : 5));
        } else if (key == "file-rights") {
            if (!app)
                return fail(key + " outside an application");
            ok = number(0xFFFFFFFFu, &n);
            app->fileRights = static_cast<uint32_t>(n);
        } else if (key == "file") {
            if (!app)
                return fail("file outside an application");
            File f;
            ok = unescape(value, &f.name) || fail("bad file name");
            app->files.push_back(f);
        } else if (key == "file-read" || key == "file-write" || key == "file-data") {
            if (!app || app->files.empty())
                return fail(key + " outside a file");
            File& f = app->files.back();
            if (key == "file-data") {
                ok = hex(&f.data);
            } else {
                ok = number(0xFFFFFFFFu, &n);
                (key == "file-read" ? f.readRights : f.writeRights) = static_cast<uint32_t>(n);
            }
        } else if (key == "container") {
            if (!app)
                return fail("container outside an application");
            Container c;
            ok = unescape(value, &c.name) || fail("bad container name");
            app->containers.push_back(c);
        } else if (key == "type" || key == "sign-key" || key == "enc-key" || key == "sign-cert" || key == "enc-cert") {
            if (!cont)
                return fail(key + " outside a container");
            if (key == "type") {
                ok = number(2, &n);
                cont->type = static_cast<uint32_t>(n);
            } else if (key == "sign-key")
                ok = hex(&cont->signKey);
            else if (key == "enc-key")
                ok = hex(&cont->encKey);
            else if (key == "sign-cert")
                ok = hex(&cont->signCert);
            else
                ok = hex(&cont->encCert);
        } else {
            return fail("unknown key " + key);
        }
        if (!ok)
            return false;
    }
    if (!ended)
        return fail("the file is cut short");
    *out = t;
    return true;
}

} // namespace softskf
