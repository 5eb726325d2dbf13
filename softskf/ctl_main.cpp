// softskf-ctl: creates and inspects softskf tokens, plugs them in and out, and sets faults,
// latencies and hostile answers for the library.
#include "ctl.h"
#include "hostile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

using namespace softskf;

namespace {

const char kUsage[] =
    R"(Usage: softskf-ctl COMMAND [ARGUMENTS] [OPTIONS]

Manages the softskf store named by SOFTSKF_DIR: software SKF tokens that libsoftskf.so
presents to programs as plugged-in USB tokens.

Store and tokens (in TOKEN, NAME and CONTAINER, \xHH stands for any byte):
  init [--reset]                 create the store (--reset: remove every token, event, fault,
                                 latency and hostile mode first)
  create NAME [OPTIONS]          create a token (present unless --absent)
      --serial TEXT              serial number (default: SN- and the name)
      --label TEXT               label, at most 31 bytes (default: the name)
      --manufacturer TEXT        manufacturer (default "softskf")
      --issuer TEXT              issuer (default "softskf")
      --hw-version MAJOR.MINOR   hardware version (default 1.0)
      --fw-version MAJOR.MINOR   firmware version (default 1.0)
      --total-space BYTES        total space (default 65536)
      --free-space BYTES         free space (default 32768)
      --auth-key HEX             device authentication key, 16 bytes as 32 hex digits
                                 (default 31323334353637383132333435363738, "1234567812345678")
      --app NAME                 application name (default ORVANE-PKIAPP)
      --no-app                   create the token without an application
      --so-pin PIN               SO (administrator) PIN, 6 to 64 bytes (default 12345678)
      --user-pin PIN             user PIN, 6 to 64 bytes (default 12345678)
      --so-retries N             SO PIN retry limit, 1 to 255 (default 6)
      --user-retries N           user PIN retry limit, 1 to 255 (default 6)
      --user-pin-default yes|no  the user PIN still has its factory value (default no)
      --absent                   the token starts unplugged
  delete NAME                    delete a token (a removal event first if it is present)
  add-container TOKEN CONTAINER empty|rsa1024|rsa2048|sm2 [--app NAME]
                                 add a container; rsa and sm2 get a signature and an
                                 encryption key pair made by OpenSSL
  add-cert TOKEN CONTAINER sign|enc [--cn NAME] [--days N | --not-after TIME] [--self-signed]
           [--app NAME]          issue a certificate for the container's key pair, signed by the
                                 store's test CA (or self-signed); --days counts from now and may
                                 be negative (expired; default 365); --not-after takes an ASN.1
                                 time YYYYMMDDHHMMSSZ; --cn defaults to the container name
  add-cert TOKEN CONTAINER sign|enc --from FILE [--app NAME]
                                 store the bytes of FILE unchanged as the certificate
  export-cert TOKEN CONTAINER sign|enc FILE [--app NAME]
                                 write a stored certificate to FILE
  add-file TOKEN APP NAME --from FILE [--read-rights N] [--write-rights N]
                                 store the bytes of FILE as a file of application APP (name at
                                 most 32 bytes); its size counts against the token's free space;
                                 rights are SECURE_*_ACCOUNT values: 0 never, 1 SO, 16 user,
                                 255 anyone, OR'ed (default: read 255, write 16)
  set-pin TOKEN so|user [--pin PIN] [--retries N] [--remaining N] [--default yes|no] [--app NAME]
                                 change a PIN, its retry limit, its remaining tries or its
                                 factory-default flag
  set-label TOKEN LABEL          change the label
  insert NAME                    plug a token in (insertion event; announced again if present)
  remove NAME                    pull a token out (removal event)
  list [--json]                  all tokens (in JSON, names and texts show bytes outside UTF-8,
                                 control bytes and '\' as \xHH)
  show TOKEN [--json]            one token: device information, PIN counters and default flags,
                                 files with their sizes and rights, containers with their types,
                                 key pairs and certificate sizes
  events                         the event log: sequence number, code (1 inserted, 2 removed), name

Library behaviour:
  fail FUNCTION CODE [--call N]  FUNCTION (e.g. SKF_EnumDev or EnumDev) returns CODE (e.g.
                                 0x0A000001) instead of working; CODE 0 removes the fault;
                                 --call N: only the N-th call from now fails (N from 1, counted
                                 over all processes like the stats; several such faults add up)
  clear-faults                   remove every fault
  latency FUNCTION|all MS        delay every call of FUNCTION (or of every function) by MS
                                 milliseconds; 0 removes it; "latency all 0" removes them all
  latency load MS                delay loading the library by MS milliseconds (a slow library)
  hostile MODE [N]               switch a hostile mode on (modes add up)
  hostile off                    switch every hostile mode off
  hostile                        list the modes that are on
  stats [--reset] [--all] [--json]
                                 call counters per function, summed over all processes
                                 (--all includes functions never called; --reset zeroes them),
                                 then openHandles: the device, application, container and key
                                 handles open in every process now (--reset keeps it)

Hostile modes:
)";

struct Command
{
    const char* name;
    size_t minArgs;
    size_t maxArgs;
    const char* valued; // space-separated options that take a value
    const char* flags;  // space-separated options without a value
    int (*run)(const Store&, const Args&);
};

int runInsert(const Store& s, const Args& a)
{
    return cmdPresence(s, a, true);
}
int runRemove(const Store& s, const Args& a)
{
    return cmdPresence(s, a, false);
}

const Command kCommands[] = {
    {"init", 0, 0, "", "--reset", cmdInit},
    {"create", 1, 1,
     "--serial --label --manufacturer --issuer --hw-version --fw-version --total-space --free-space --auth-key "
     "--app --so-pin --user-pin --so-retries --user-retries --user-pin-default",
     "--no-app --absent", cmdCreate},
    {"delete", 1, 1, "", "", cmdDelete},
    {"add-container", 3, 3, "--app", "", cmdAddContainer},
    {"add-cert", 3, 3, "--cn --days --not-after --from --app", "--self-signed", cmdAddCert},
    {"export-cert", 4, 4, "--app", "", cmdExportCert},
    {"add-file", 3, 3, "--from --read-rights --write-rights", "", cmdAddFile},
    {"set-pin", 2, 2, "--pin --retries --remaining --default --app", "", cmdSetPin},
    {"set-label", 2, 2, "", "", cmdSetLabel},
    {"insert", 1, 1, "", "", runInsert},
    {"remove", 1, 1, "", "", runRemove},
    {"list", 0, 0, "", "--json", cmdList},
    {"show", 1, 1, "", "--json", cmdShow},
    {"events", 0, 0, "", "", cmdEvents},
    {"fail", 2, 2, "--call", "", cmdFail},
    {"clear-faults", 0, 0, "", "", cmdClearFaults},
    {"latency", 2, 2, "", "", cmdLatency},
    {"hostile", 0, 2, "", "", cmdHostile},
    {"stats", 0, 0, "", "--reset --all --json", cmdStats},
};

bool listed(const char* list, const std::string& option)
{
    std::string padded = std::string(" ") + list + " ";
    return padded.find(" " + option + " ") != std::string::npos;
}

Args parseArgs(const Command& cmd, int argc, char** argv)
{
    Args args;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            std::string value;
            size_t eq = a.find('=');
            bool inlineValue = eq != std::string::npos;
            if (inlineValue) {
                value = a.substr(eq + 1);
                a = a.substr(0, eq);
            }
            if (listed(cmd.valued, a)) {
                if (!inlineValue) {
                    if (i + 1 >= argc)
                        throw UsageError(a + " needs a value");
                    value = argv[++i];
                }
            } else if (listed(cmd.flags, a)) {
                if (inlineValue)
                    throw UsageError(a + " takes no value");
            } else {
                throw UsageError("unknown option " + a + " for " + cmd.name);
            }
            if (args.options.count(a))
                throw UsageError(a + " given twice");
            args.options[a] = value;
        } else {
            args.positional.push_back(a);
        }
    }
    if (args.positional.size() < cmd.minArgs)
        throw UsageError(std::string(cmd.name) + ": missing argument (see softskf-ctl --help)");
    if (args.positional.size() > cmd.maxArgs)
        throw UsageError(std::string(cmd.name) + ": unexpected argument \"" + args.positional[cmd.maxArgs] + "\"");
    return args;
}

void printUsage()
{
    std::cout << kUsage;
    for (int i = 0; i < kHostileModeCount; ++i) {
        const HostileMode& m = kHostileModes[i];
        std::cout << "  " << m.name << (m.defaultParameter ? " [N]" : "") << "\n      " << m.description << "\n";
    }
    std::cout << "\nExit status: 0 done, 1 the command failed, 2 bad arguments.\n";
}

// A name as given on the command line, where \xHH stands for any byte (the names of enrolment
// programs are often GBK, which no UTF-8 terminal passes); other text is taken as it is.
std::string decodeName(const std::string& text)
{
    std::string name;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && hexValue(text[i + 2]) >= 0 &&
            hexValue(text[i + 3]) >= 0) {
            name += static_cast<char>(hexValue(text[i + 2]) << 4 | hexValue(text[i + 3]));
            i += 3;
        } else {
            name += text[i];
        }
    }
    return name;
}

// The token name (first argument) and container name (second) of the commands that take them.
void decodeNames(const std::string& command, Args* args)
{
    static const char* const kTokenFirst[] = {"create",      "delete",   "add-container", "add-cert",
                                              "export-cert", "add-file", "set-pin",       "set-label",
                                              "insert",      "remove",   "show"};
    static const char* const kContainerSecond[] = {"add-container", "add-cert", "export-cert"};
    for (const char* c : kTokenFirst) {
        if (command == c && !args->positional.empty())
            args->positional[0] = decodeName(args->positional[0]);
    }
    for (const char* c : kContainerSecond) {
        if (command == c && args->positional.size() > 1)
            args->positional[1] = decodeName(args->positional[1]);
    }
}

// Messages stay on one line whatever they quote.
std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "softskf-ctl: missing command (see softskf-ctl --help)\n";
        return 2;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage();
        return 0;
    }
    const Command* cmd = nullptr;
    for (const Command& c : kCommands) {
        if (name == c.name)
            cmd = &c;
    }
    try {
        if (!cmd)
            throw UsageError("unknown command \"" + name + "\" (see softskf-ctl --help)");
        Args args = parseArgs(*cmd, argc, argv);
        decodeNames(name, &args);
        Store store(Store::dirFromEnv());
        std::string error;
        if (!store.ensure(&error))
            throw RunError(error);
        return cmd->run(store, args);
    } catch (const UsageError& e) {
        std::cerr << "softskf-ctl: " << oneLine(e.what()) << "\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "softskf-ctl: " << oneLine(e.what()) << "\n";
        return 1;
    }
}
