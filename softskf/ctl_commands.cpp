#include "crypto.h"
#include "ctl.h"
#include "functions.h"
#include "hostile.h"
#include "skf_defs.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace softskf {

namespace {

const char kDefaultApp[] = "ORVANE-PKIAPP";
const char kDefaultPin[] = "12345678";
const char kDefaultAuthKey[] = "31323334353637383132333435363738";

void checkTokenName(const std::string& name)
{
    if (!validDeviceName(name))
        throw UsageError("bad token name \"" + name +
                         "\": 1 to 63 letters, digits, '.', '_', '-' or bytes from \\x80 on, not starting with '.'");
}

void checkObjectName(const std::string& name, const char* what)
{
    if (name.empty() || name.size() > kMaxObjectName)
        throw UsageError(std::string("bad ") + what + " name \"" + name + "\": 1 to 64 bytes");
    if (name.find('\0') != std::string::npos)
        throw UsageError(std::string(what) + " name holds a zero byte");
}

void checkPin(const std::string& pin, const char* what)
{
    if (pin.size() < kMinPin || pin.size() > kMaxPin)
        throw UsageError(std::string(what) + " must be 6 to 64 bytes");
}

void parseVersion(const std::string& text, uint8_t* major, uint8_t* minor)
{
    unsigned a = 0, b = 0;
    char extra = 0;
    if (std::sscanf(text.c_str(), "%u.%u%c", &a, &b, &extra) != 2 || a > 255 || b > 255)
        throw UsageError("bad version \"" + text + "\": MAJOR.MINOR, each 0 to 255");
    *major = static_cast<uint8_t>(a);
    *minor = static_cast<uint8_t>(b);
}

bool parseSign(const std::string& text)
{
    if (text == "sign" || text == "signature")
        return true;
    if (text == "enc" || text == "encryption")
        return false;
    throw UsageError("bad certificate kind \"" + text + "\": sign or enc");
}

Application& appOf(Token& token, const Args& args)
{
    if (args.has("--app")) {
        Application* a = token.app(args.get("--app", ""));
        if (!a)
            throw UsageError("token " + token.name + " has no application \"" + args.get("--app", "") + "\"");
        return *a;
    }
    if (token.apps.empty())
        throw UsageError("token " + token.name + " has no application");
    return token.apps.front();
}

Container& containerOf(Token& token, const Args& args, const std::string& name)
{
    Application& app = appOf(token, args);
    Container* c = app.container(name);
    if (!c)
        throw UsageError("application " + app.name + " of token " + token.name + " has no container \"" + name + "\"");
    return *c;
}

void saveControl(const Store& store, const Control& control)
{
    std::string error;
    if (!store.saveControl(control, &error))
        throw RunError(error);
}

} // namespace

std::string Args::get(const std::string& option, const std::string& fallback) const
{
    auto it = options.find(option);
    return it == options.end() ? fallback : it->second;
}

uint64_t parseNumber(const std::string& text, uint64_t max, const std::string& what)
{
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || text[0] == '+' || *end != '\0' || errno == ERANGE || v > max)
        throw UsageError("bad " + what + " \"" + text + "\": a number from 0 to " + std::to_string(max));
    return v;
}

uint64_t Args::number(const std::string& option, uint64_t fallback, uint64_t max) const
{
    return has(option) ? parseNumber(get(option, ""), max, option.substr(2)) : fallback;
}

bool Args::yesNo(const std::string& option, bool fallback) const
{
    if (!has(option))
        return fallback;
    std::string v = get(option, "");
    if (v == "yes" || v == "true" || v == "1")
        return true;
    if (v == "no" || v == "false" || v == "0")
        return false;
    throw UsageError("bad value \"" + v + "\" for " + option + ": yes or no");
}

Token loadTokenOrThrow(const Store& store, const std::string& name)
{
    checkTokenName(name);
    Token token;
    if (::access(store.tokenPath(name).c_str(), F_OK) != 0)
        throw UsageError("no token \"" + name + "\"");
    if (!store.loadToken(name, &token))
        throw RunError("cannot read token " + name + " (" + store.tokenPath(name) + ")");
    return token;
}

void saveTokenOrThrow(const Store& store, const Token& token)
{
    std::string error;
    if (!store.saveToken(token, &error))
        throw RunError(error);
}

int cmdInit(const Store& store, const Args& args)
{
    StoreLock lock(store);
    if (args.has("--reset")) {
        std::string error;
        for (const std::string& name : store.tokenNames()) {
            if (!store.deleteToken(name, &error))
                throw RunError(error);
        }
        if (!store.saveControl(Control(), &error) || !writeFileAtomic(store.eventsPath(), std::string(), &error))
            throw RunError(error);
        Counters counters(store.statsPath(), true);
        counters.reset();
    }
    return 0;
}

int cmdCreate(const Store& store, const Args& args)
{
    Token t;
    t.name = args.positional[0];
    checkTokenName(t.name);
    t.serial = args.get("--serial", "SN-" + t.name).substr(0, 32);
    if (args.get("--serial", "").size() > 32)
        throw UsageError("serial number longer than 32 bytes");
    t.label = args.get("--label", t.name.substr(0, kMaxLabel));
    if (t.label.size() > kMaxLabel)
        throw UsageError("label longer than 31 bytes");
    t.manufacturer = args.get("--manufacturer", "softskf");
    t.issuer = args.get("--issuer", "softskf");
    if (t.manufacturer.size() > 64 || t.issuer.size() > 64)
        throw UsageError("manufacturer and issuer are at most 64 bytes");
    parseVersion(args.get("--hw-version", "1.0"), &t.hwMajor, &t.hwMinor);
    parseVersion(args.get("--fw-version", "1.0"), &t.fwMajor, &t.fwMinor);
    t.totalSpace = static_cast<uint32_t>(args.number("--total-space", 65536, 0xFFFFFFFFu));
    t.freeSpace = static_cast<uint32_t>(args.number("--free-space", 32768, 0xFFFFFFFFu));
    if (t.freeSpace > t.totalSpace)
        throw UsageError("free space exceeds total space");
    std::string keyHex = args.get("--auth-key", kDefaultAuthKey);
    if (keyHex.size() != 32 || !fromHex(keyHex, &t.authKey))
        throw UsageError("bad --auth-key: 16 bytes as 32 hex digits");
    t.present = !args.has("--absent");
    t.instance = randomBytes(8);
    if (args.has("--no-app")) {
        for (const char* o :
             {"--app", "--so-pin", "--user-pin", "--so-retries", "--user-retries", "--user-pin-default"})
            if (args.has(o))
                throw UsageError(std::string(o) + " contradicts --no-app");
    } else {
        Application app;
        app.name = args.get("--app", kDefaultApp);
        checkObjectName(app.name, "application");
        std::string soPin = args.get("--so-pin", kDefaultPin);
        std::string userPin = args.get("--user-pin", kDefaultPin);
        checkPin(soPin, "SO PIN");
        checkPin(userPin, "user PIN");
        uint64_t soRetries = args.number("--so-retries", 6, 255);
        uint64_t userRetries = args.number("--user-retries", 6, 255);
        if (soRetries == 0 || userRetries == 0)
            throw UsageError("retry limits are 1 to 255");
        app.so = makePin(soPin, static_cast<uint32_t>(soRetries), false);
        app.user = makePin(userPin, static_cast<uint32_t>(userRetries), args.yesNo("--user-pin-default", false));
        t.apps.push_back(app);
    }
    StoreLock lock(store);
    if (::access((store.dir() + "/tokens/" + t.name).c_str(), F_OK) == 0)
        throw UsageError("token \"" + t.name + "\" exists already");
    std::string error;
    if (!store.createToken(t, &error))
        throw RunError(error);
    return 0;
}

int cmdDelete(const Store& store, const Args& args)
{
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    std::string error;
    if (t.present) {
        t.present = false;
        saveTokenOrThrow(store, t);
        if (!store.appendEvent(SKF_EVENT_REMOVED, t.name, &error))
            throw RunError(error);
    }
    if (!store.deleteToken(t.name, &error))
        throw RunError(error);
    return 0;
}

int cmdAddContainer(const Store& store, const Args& args)
{
    const std::string& containerName = args.positional[1];
    const std::string& kind = args.positional[2];
    checkObjectName(containerName, "container");
    if (kind != "empty" && kind != "rsa1024" && kind != "rsa2048" && kind != "sm2")
        throw UsageError("bad container kind \"" + kind + "\": empty, rsa1024, rsa2048 or sm2");
    {
        // Check first so that no key pair is made for a command that cannot succeed.
        Token t = loadTokenOrThrow(store, args.positional[0]);
        if (appOf(t, args).container(containerName))
            throw UsageError("container \"" + containerName + "\" exists already");
    }
    Container c;
    c.name = containerName;
    if (kind != "empty") {
        c.type = kind == "sm2" ? SKF_CONTAINER_ECC : SKF_CONTAINER_RSA;
        c.signKey = generateKeyPair(kind);
        c.encKey = generateKeyPair(kind);
        if (c.signKey.empty() || c.encKey.empty())
            throw RunError("OpenSSL could not generate a " + kind + " key pair");
    }
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    Application& app = appOf(t, args);
    if (app.container(containerName))
        throw UsageError("container \"" + containerName + "\" exists already");
    app.containers.push_back(c);
    saveTokenOrThrow(store, t);
    return 0;
}

int cmdAddCert(const Store& store, const Args& args)
{
    bool sign = parseSign(args.positional[2]);
    std::string der;
    if (args.has("--from")) {
        for (const char* o : {"--cn", "--days", "--not-after", "--self-signed"})
            if (args.has(o))
                throw UsageError(std::string(o) + " contradicts --from");
        std::string path = args.get("--from", "");
        if (!readFile(path, &der))
            throw UsageError("cannot read " + path + ": " + std::strerror(errno));
        if (der.empty())
            throw UsageError(path + " is empty");
    } else if (args.has("--days") && args.has("--not-after")) {
        throw UsageError("--days and --not-after exclude each other");
    }
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    Container& c = containerOf(t, args, args.positional[1]);
    if (der.empty()) {
        CertRequest request;
        request.keyDer = sign ? c.signKey : c.encKey;
        if (request.keyDer.empty())
            throw UsageError("container \"" + c.name + "\" holds no " + (sign ? "signature" : "encryption") +
                             " key pair");
        request.commonName = args.get("--cn", c.name);
        if (request.commonName.empty() || request.commonName.size() > 64)
            throw UsageError("--cn must be 1 to 64 bytes");
        if (args.has("--not-after")) {
            if (!parseAsn1Time(args.get("--not-after", ""), &request.notAfter))
                throw UsageError("bad --not-after \"" + args.get("--not-after", "") + "\": YYYYMMDDHHMMSSZ");
        } else {
            std::string days = args.get("--days", "365");
            char* end = nullptr;
            errno = 0;
            long long d = std::strtoll(days.c_str(), &end, 10);
            if (days.empty() || *end != '\0' || errno == ERANGE || d < -36500 || d > 36500)
                throw UsageError("bad --days \"" + days + "\": -36500 to 36500");
            request.notAfter = time(nullptr) + static_cast<time_t>(d) * 86400;
        }
        request.signature = sign;
        request.selfSigned = args.has("--self-signed");
        std::string error;
        if (!issueCertificate(store.caDir(), request, &der, &error))
            throw RunError(error);
    }
    (sign ? c.signCert : c.encCert) = der;
    saveTokenOrThrow(store, t);
    return 0;
}

int cmdExportCert(const Store& store, const Args& args)
{
    bool sign = parseSign(args.positional[2]);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    Container& c = containerOf(t, args, args.positional[1]);
    const std::string& der = sign ? c.signCert : c.encCert;
    if (der.empty())
        throw RunError("container \"" + c.name + "\" holds no " + (sign ? "signature" : "encryption") + " certificate");
    std::string error;
    if (!writeFileAtomic(args.positional[3], der, &error))
        throw RunError(error);
    return 0;
}

int cmdAddFile(const Store& store, const Args& args)
{
    const std::string& appName = args.positional[1];
    const std::string& fileName = args.positional[2];
    if (fileName.empty() || fileName.size() > kMaxFileName || fileName.find('\0') != std::string::npos)
        throw UsageError("bad file name \"" + fileName + "\": 1 to 32 bytes");
    if (!args.has("--from"))
        throw UsageError("add-file needs --from FILE");
    File f;
    f.name = fileName;
    f.readRights = static_cast<uint32_t>(args.number("--read-rights", SECURE_ANYONE_ACCOUNT, SECURE_ANYONE_ACCOUNT));
    f.writeRights = static_cast<uint32_t>(args.number("--write-rights", SECURE_USER_ACCOUNT, SECURE_ANYONE_ACCOUNT));
    std::string path = args.get("--from", "");
    if (!readFile(path, &f.data))
        throw UsageError("cannot read " + path + ": " + std::strerror(errno));
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    Application* app = t.app(appName);
    if (!app)
        throw UsageError("token " + t.name + " has no application \"" + appName + "\"");
    if (app->file(fileName))
        throw UsageError("file \"" + fileName + "\" exists already");
    if (f.data.size() > t.freeSpace)
        throw UsageError(path + " is larger than the token's free space (" + std::to_string(t.freeSpace) + " bytes)");
    t.freeSpace -= static_cast<uint32_t>(f.data.size());
    app->files.push_back(f);
    saveTokenOrThrow(store, t);
    return 0;
}

int cmdSetPin(const Store& store, const Args& args)
{
    const std::string& which = args.positional[1];
    if (which != "so" && which != "user")
        throw UsageError("bad PIN kind \"" + which + "\": so or user");
    if (args.has("--pin"))
        checkPin(args.get("--pin", ""), "PIN");
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    Pin& pin = which == "so" ? appOf(t, args).so : appOf(t, args).user;
    if (args.has("--pin"))
        setPinValue(&pin, args.get("--pin", ""));
    if (args.has("--retries")) {
        uint64_t n = args.number("--retries", 0, 255);
        if (n == 0)
            throw UsageError("--retries must be 1 to 255");
        pin.maxRetries = static_cast<uint32_t>(n);
        pin.remaining = std::min(pin.remaining, pin.maxRetries);
    }
    if (args.has("--pin"))
        pin.remaining = pin.maxRetries;
    if (args.has("--remaining")) {
        uint64_t n = args.number("--remaining", 0, 255);
        if (n > pin.maxRetries)
            throw UsageError("--remaining exceeds the retry limit");
        pin.remaining = static_cast<uint32_t>(n);
    }
    pin.isDefault = args.yesNo("--default", pin.isDefault);
    saveTokenOrThrow(store, t);
    return 0;
}

int cmdSetLabel(const Store& store, const Args& args)
{
    if (args.positional[1].size() > kMaxLabel)
        throw UsageError("label longer than 31 bytes");
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    t.label = args.positional[1];
    saveTokenOrThrow(store, t);
    return 0;
}

int cmdPresence(const Store& store, const Args& args, bool insert)
{
    StoreLock lock(store);
    Token t = loadTokenOrThrow(store, args.positional[0]);
    if (insert && !t.present)
        ++t.generation;
    if (t.present != insert) {
        t.present = insert;
        saveTokenOrThrow(store, t);
    }
    // The state is saved before the event is logged, so a woken waiter sees the new state.
    std::string error;
    if (!store.appendEvent(insert ? SKF_EVENT_INSERTED : SKF_EVENT_REMOVED, t.name, &error))
        throw RunError(error);
    return 0;
}

int cmdEvents(const Store& store, const Args&)
{
    uint64_t offset = 0;
    for (const DeviceEvent& e : store.readEvents(&offset, SIZE_MAX))
        std::cout << e.seq << ' ' << e.code << ' ' << e.name << '\n';
    return 0;
}

int cmdFail(const Store& store, const Args& args)
{
    int index = functionIndex(args.positional[0]);
    if (index < 0)
        throw UsageError("unknown function \"" + args.positional[0] + "\"");
    uint32_t code = static_cast<uint32_t>(parseNumber(args.positional[1], 0xFFFFFFFFu, "result code"));
    const uint64_t call = args.number("--call", 0, 1000000000);
    if (args.has("--call") && call == 0)
        throw UsageError("--call counts from 1");
    StoreLock lock(store);
    Control c = store.loadControl();
    // A fault of every call replaces the function's faults; faults of single calls add up.
    if (code == 0 || call == 0)
        c.faults.erase(index);
    if (code != 0 && call == 0) {
        c.faults.emplace(index, Fault{code, 0});
    } else if (code != 0) {
        // The counters are shared by every process, so the N-th call from now is one call anywhere.
        Counters counters(store.statsPath(), true);
        if (!counters.valid())
            throw RunError("cannot open " + store.statsPath());
        c.faults.emplace(index, Fault{code, counters.value(index) + call});
    }
    saveControl(store, c);
    return 0;
}

int cmdClearFaults(const Store& store, const Args&)
{
    StoreLock lock(store);
    Control c = store.loadControl();
    c.faults.clear();
    saveControl(store, c);
    return 0;
}

int cmdLatency(const Store& store, const Args& args)
{
    const std::string& fn = args.positional[0];
    int index = fn == "all" ? -1 : fn == "load" ? kLoadLatency : functionIndex(fn);
    if (index < 0 && fn != "all" && fn != "load")
        throw UsageError("unknown function \"" + fn + "\"");
    uint32_t ms = static_cast<uint32_t>(parseNumber(args.positional[1], 600000, "delay in milliseconds"));
    StoreLock lock(store);
    Control c = store.loadControl();
    if (ms != 0)
        c.latency[index] = ms;
    else if (index < 0)
        c.latency.clear();
    else
        c.latency.erase(index);
    saveControl(store, c);
    return 0;
}

int cmdHostile(const Store& store, const Args& args)
{
    if (args.positional.empty()) {
        for (const auto& h : store.loadControl().hostile) {
            std::cout << h.first;
            if (findHostileMode(h.first.c_str()) && findHostileMode(h.first.c_str())->defaultParameter)
                std::cout << ' ' << h.second;
            std::cout << '\n';
        }
        return 0;
    }
    const std::string& mode = args.positional[0];
    if (mode == "off") {
        if (args.positional.size() > 1)
            throw UsageError("hostile off takes no parameter");
        StoreLock lock(store);
        Control c = store.loadControl();
        c.hostile.clear();
        saveControl(store, c);
        return 0;
    }
    const HostileMode* m = findHostileMode(mode.c_str());
    if (!m)
        throw UsageError("unknown hostile mode \"" + mode + "\" (see softskf-ctl --help)");
    uint64_t parameter = m->defaultParameter;
    if (args.positional.size() > 1) {
        if (!m->defaultParameter)
            throw UsageError("hostile mode " + mode + " takes no parameter");
        parameter = parseNumber(args.positional[1], 16u * 1024 * 1024, mode + " parameter");
        if (parameter == 0)
            throw UsageError(mode + " parameter must not be 0");
    }
    StoreLock lock(store);
    Control c = store.loadControl();
    c.hostile[mode] = parameter;
    saveControl(store, c);
    return 0;
}

int cmdStats(const Store& store, const Args& args)
{
    Counters counters(store.statsPath(), true);
    if (!counters.valid())
        throw RunError("cannot open " + store.statsPath());
    if (args.has("--reset")) {
        // A one-call fault still ahead keeps its distance from the counter; one already made is dropped.
        StoreLock lock(store);
        Control c = store.loadControl();
        for (auto it = c.faults.begin(); it != c.faults.end();) {
            const uint64_t now = counters.value(it->first);
            if (it->second.atCall && it->second.atCall <= now) {
                it = c.faults.erase(it);
                continue;
            }
            if (it->second.atCall)
                it->second.atCall -= now;
            ++it;
        }
        counters.reset();
        saveControl(store, c);
        return 0;
    }
    bool json = args.has("--json");
    bool first = true;
    if (json)
        std::cout << '{';
    for (int i = 0; i < kFunctionCount; ++i) {
        uint64_t v = counters.value(i);
        if (!v && !args.has("--all"))
            continue;
        if (json)
            std::cout << (first ? "" : ",") << '"' << functionName(i) << "\":" << v;
        else
            std::cout << functionName(i) << ' ' << v << '\n';
        first = false;
    }
    // Not a call counter: how many handles are open in every process right now.
    if (json)
        std::cout << (first ? "" : ",") << "\"openHandles\":" << counters.openHandles() << "}\n";
    else
        std::cout << "openHandles " << counters.openHandles() << '\n';
    return 0;
}

} // namespace softskf
