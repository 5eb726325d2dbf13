// softskf-ctl: commands that manage the softskf store.
#ifndef SOFTSKF_CTL_H
#define SOFTSKF_CTL_H

#include "store.h"

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace softskf {

// A bad argument: reported as one line on standard error, exit status 2.
struct UsageError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};
// A failure while carrying out a valid command: one line, exit status 1.
struct RunError : std::runtime_error
{
    using std::runtime_error::runtime_error;
};

struct Args
{
    std::vector<std::string> positional;
    std::map<std::string, std::string> options; // "--name" -> value ("" for flags)

    bool has(const std::string& option) const { return options.count(option) != 0; }
    std::string get(const std::string& option, const std::string& fallback) const;
    uint64_t number(const std::string& option, uint64_t fallback, uint64_t max) const;
    bool yesNo(const std::string& option, bool fallback) const;
};

uint64_t parseNumber(const std::string& text, uint64_t max, const std::string& what);

int cmdInit(const Store& store, const Args& args);
int cmdCreate(const Store& store, const Args& args);
int cmdDelete(const Store& store, const Args& args);
int cmdAddContainer(const Store& store, const Args& args);
int cmdAddCert(const Store& store, const Args& args);
int cmdExportCert(const Store& store, const Args& args);
int cmdAddFile(const Store& store, const Args& args);
int cmdSetPin(const Store& store, const Args& args);
int cmdSetLabel(const Store& store, const Args& args);
int cmdPresence(const Store& store, const Args& args, bool insert);
int cmdList(const Store& store, const Args& args);
int cmdShow(const Store& store, const Args& args);
int cmdEvents(const Store& store, const Args& args);
int cmdFail(const Store& store, const Args& args);
int cmdClearFaults(const Store& store, const Args& args);
int cmdLatency(const Store& store, const Args& args);
int cmdHostile(const Store& store, const Args& args);
int cmdStats(const Store& store, const Args& args);

// Shared by the commands.
Token loadTokenOrThrow(const Store& store, const std::string& name);
void saveTokenOrThrow(const Store& store, const Token& token);

} // namespace softskf

#endif
