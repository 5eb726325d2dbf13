// What the user chose on the window's pages: a device by name, its application and, for the
// certificate actions, a container and the usage of its certificate. An action copies it when it
// starts and hands it to cDevMgr::open() before each token call, so a token event or another
// action in between can never make it act on another token.
#ifndef KEYMGR_TOKENCHOICE_H
#define KEYMGR_TOKENCHOICE_H

#include <string>

struct TokenChoice
{
    // Names are the bytes the SKF library listed, whatever their encoding, and go back unchanged.
    std::string device;
    std::string application; // empty: none chosen
    std::string container;   // empty: none chosen
    int usage = -1;          // certificate: 1 signature, 0 encryption, -1 none

    bool empty() const { return device.empty(); }
    TokenChoice withContainer(const std::string& name, int certUsage = -1) const
    {
        TokenChoice c = *this;
        c.container = name;
        c.usage = certUsage;
        return c;
    }
};

#endif
