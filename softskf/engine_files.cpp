// The files of an application: fixed-size byte arrays with read and write rights, counted
// against the token's free space.
#include "engine.h"

#include <algorithm>
#include <cstring>

namespace softskf {

namespace {

constexpr size_t kMaxFiles = 64;
// Files live inside the token's state file, which every change rewrites.
constexpr ULONG kMaxFileSize = 1024 * 1024;

bool validRights(ULONG rights)
{
    return rights <= SECURE_ANYONE_ACCOUNT;
}

} // namespace

ULONG Engine::checkRights(const Handle& handle, uint32_t rights)
{
    if ((rights & SECURE_ANYONE_ACCOUNT) == SECURE_ANYONE_ACCOUNT)
        return SAR_OK;
    const Security& s = m_security[securityKey(handle)];
    if (((rights & SECURE_USER_ACCOUNT) && s.user) || ((rights & SECURE_ADM_ACCOUNT) && s.so))
        return SAR_OK;
    // No PIN opens what no account may use.
    return rights & (SECURE_USER_ACCOUNT | SECURE_ADM_ACCOUNT) ? SAR_USER_NOT_LOGGED_IN : SAR_FAIL;
}

ULONG Engine::createFile(HAPPLICATION app, LPSTR name, ULONG size, ULONG readRights, ULONG writeRights)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxFileName) || !validRights(readRights) || !validRights(writeRights))
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    rc = checkRights(*h, a->fileRights);
    if (rc != SAR_OK)
        return rc;
    if (size > kMaxFileSize)
        return SAR_NO_ROOM;
    File created;
    created.name = name;
    created.readRights = readRights;
    created.writeRights = writeRights;
    created.data.assign(size, '\0');
    return modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        if (!ap)
            return ULONG(SAR_APPLICATION_NOT_EXISTS);
        if (ap->file(created.name))
            return ULONG(SAR_FILE_ALREADY_EXIST);
        if (ap->files.size() >= kMaxFiles || size > tok.freeSpace)
            return ULONG(SAR_NO_ROOM);
        ap->files.push_back(created);
        tok.freeSpace -= size;
        *save = true;
        return ULONG(SAR_OK);
    });
}

ULONG Engine::deleteFile(HAPPLICATION app, LPSTR name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxFileName))
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    // Deleting takes the right to create files, as the file's own rights may be "never".
    rc = checkRights(*h, a->fileRights);
    if (rc != SAR_OK)
        return rc;
    std::string fileName = name;
    return modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        if (!ap)
            return ULONG(SAR_APPLICATION_NOT_EXISTS);
        for (auto it = ap->files.begin(); it != ap->files.end(); ++it) {
            if (it->name == fileName) {
                uint64_t freed = uint64_t(tok.freeSpace) + it->data.size();
                tok.freeSpace = static_cast<uint32_t>(std::min<uint64_t>(freed, tok.totalSpace));
                ap->files.erase(it);
                *save = true;
                return ULONG(SAR_OK);
            }
        }
        return ULONG(SAR_FILE_NOT_EXIST);
    });
}

ULONG Engine::enumFiles(HAPPLICATION app, LPSTR list, ULONG* size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Handle* h = findHandle(app, Kind::Application);
    if (!h)
        return SAR_INVALIDHANDLEERR;
    if (!size)
        return SAR_INVALIDPARAMERR;
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    std::vector<std::string> names;
    for (const File& f : a->files)
        names.push_back(f.name);
    return answerBytes(multiString(names, Hostility(), nullptr, list == nullptr, ""), Hostility(), list, size);
}

ULONG Engine::fileOf(HAPPLICATION app, LPSTR name, bool write, Handle** handle, const File** file)
{
    Handle* h = findHandle(app, Kind::Application);
    const Token* t = nullptr;
    const Application* a = nullptr;
    ULONG rc = appOf(*h, &t, &a);
    if (rc != SAR_OK)
        return rc;
    const File* f = const_cast<Application*>(a)->file(name);
    if (!f)
        return SAR_FILE_NOT_EXIST;
    if (handle) {
        rc = checkRights(*h, write ? f->writeRights : f->readRights);
        if (rc != SAR_OK)
            return rc;
        *handle = h;
    }
    *file = f;
    return SAR_OK;
}

ULONG Engine::getFileInfo(HAPPLICATION app, LPSTR name, FILEATTRIBUTE* info)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(app, Kind::Application))
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxFileName) || !info)
        return SAR_INVALIDPARAMERR;
    const File* f = nullptr;
    ULONG rc = fileOf(app, name, false, nullptr, &f);
    if (rc != SAR_OK)
        return rc;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->FileName, f->name.data(), std::min(f->name.size(), sizeof info->FileName));
    info->FileSize = static_cast<ULONG>(f->data.size());
    info->ReadRights = f->readRights;
    info->WriteRights = f->writeRights;
    return SAR_OK;
}

ULONG Engine::readFile(HAPPLICATION app, LPSTR name, ULONG offset, ULONG size, BYTE* out, ULONG* outLength)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(app, Kind::Application))
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxFileName) || !outLength)
        return SAR_INVALIDPARAMERR;
    Handle* h = nullptr;
    const File* f = nullptr;
    ULONG rc = fileOf(app, name, false, &h, &f);
    if (rc != SAR_OK)
        return rc;
    if (offset > f->data.size())
        return SAR_INDATALENERR;
    // A read past the end returns what the file holds from the offset on.
    return answerBytes(f->data.substr(offset, size), Hostility(), out, outLength);
}

ULONG Engine::writeFile(HAPPLICATION app, LPSTR name, ULONG offset, BYTE* data, ULONG size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!findHandle(app, Kind::Application))
        return SAR_INVALIDHANDLEERR;
    if (!validName(name, kMaxFileName) || (!data && size))
        return SAR_INVALIDPARAMERR;
    Handle* h = nullptr;
    const File* f = nullptr;
    ULONG rc = fileOf(app, name, true, &h, &f);
    if (rc != SAR_OK)
        return rc;
    // A file keeps the size it was created with.
    if (uint64_t(offset) + size > f->data.size())
        return SAR_INDATALENERR;
    std::string fileName = name;
    std::string bytes = size ? std::string(reinterpret_cast<const char*>(data), size) : std::string();
    return modify(*h, [&](Token& tok, bool* save) {
        Application* ap = tok.app(h->app);
        File* target = ap ? ap->file(fileName) : nullptr;
        if (!target)
            return ULONG(ap ? SAR_FILE_NOT_EXIST : SAR_APPLICATION_NOT_EXISTS);
        if (uint64_t(offset) + size > target->data.size())
            return ULONG(SAR_INDATALENERR);
        target->data.replace(offset, size, bytes);
        *save = size != 0;
        return ULONG(SAR_OK);
    });
}

} // namespace softskf
