// The objects of a slot: for each key pair of each container, its certificate, public key and
// private key, read from the token, each a set of attributes.
#ifndef KEYMGR_PKCS11_OBJECTS_H
#define KEYMGR_PKCS11_OBJECTS_H

#include "keyblob.h"
#include "pkcs11_defs.h"
#include "skf_defs.h"

#include <map>
#include <string>
#include <vector>

namespace p11 {

struct Object
{
    CK_OBJECT_HANDLE handle = 0;
    CK_OBJECT_CLASS objectClass = CKO_DATA;
    bool isPrivate = false;
    std::map<CK_ATTRIBUTE_TYPE, std::string> attributes;
    // What signing with a private key needs.
    std::string container; // the container's name as the library returned it
    bool signPair = false; // the signature key pair (not the encryption one)
    PublicKey key;

    bool sameAs(const Object& other) const;
};

// The names of the application's containers, as the library returns them.
ULONG listContainers(HAPPLICATION app, std::vector<std::string>* names);

// Reads every key pair of the named containers into *objects (handles 0). A container or certificate
// the token will not hand out is left out and the walk goes on; only a token found gone ends it
// (SAR_DEVICE_REMOVED).
ULONG readObjects(HAPPLICATION app, const std::vector<std::string>& names, std::vector<Object>* objects);

// Whether the object has every attribute of the template with exactly its value.
bool matches(const Object& object, const CK_ATTRIBUTE* pTemplate, CK_ULONG count);

// C_GetAttributeValue's rules for one object, applied to every entry of the template.
CK_RV getAttributes(const Object& object, CK_ATTRIBUTE* pTemplate, CK_ULONG count);

} // namespace p11

#endif
