#include "answers.h"

#include "crypto.h"

#include <algorithm>
#include <cstring>

namespace softskf {

Hostility Hostility::from(const Control& control)
{
    Hostility h;
    auto on = [&](const char* mode) { return control.hostile.count(mode) != 0; };
    h.growingList = on("growing-list");
    h.listNoTerminator = on("list-no-terminator");
    h.listUnterminatedName = on("list-unterminated-name");
    h.emptyListTwoNuls = on("empty-list-two-nuls");
    h.sizeOverstated = on("size-overstated");
    h.devinfoUnterminated = on("devinfo-unterminated");
    if (on("long-cert"))
        h.longCert = control.hostile.at("long-cert");
    if (on("rsa-bitlen"))
        h.rsaBitLen = static_cast<uint32_t>(control.hostile.at("rsa-bitlen"));
    return h;
}

std::string multiString(const std::vector<std::string>& names, const Hostility& h, unsigned* ghosts, bool sizeQuery,
                        const char* ghostPrefix)
{
    std::vector<std::string> all = names;
    if (h.growingList) {
        for (unsigned i = 1; i <= *ghosts; ++i)
            all.push_back(std::string(ghostPrefix) + std::to_string(i));
        if (sizeQuery)
            ++*ghosts;
    }
    std::string out;
    for (const std::string& n : all) {
        out += n;
        out += '\0';
    }
    if (all.empty() && h.emptyListTwoNuls)
        return std::string(2, '\0');
    if (h.listUnterminatedName)
        return out.empty() ? out : out.substr(0, out.size() - 1);
    if (h.listNoTerminator)
        return out;
    out += '\0';
    return out;
}

ULONG answerBytes(const std::string& data, const Hostility& h, void* buffer, ULONG* size)
{
    if (!size)
        return SAR_INVALIDPARAMERR;
    ULONG needed = static_cast<ULONG>(data.size());
    if (!buffer) {
        *size = needed;
        return SAR_OK;
    }
    if (*size < needed) {
        *size = needed;
        return SAR_BUFFER_TOO_SMALL;
    }
    ULONG given = *size;
    std::memcpy(buffer, data.data(), data.size());
    *size = h.sizeOverstated ? given + 64 : needed;
    return SAR_OK;
}

namespace {

void putText(CHAR* field, size_t width, const std::string& value, bool unterminated)
{
    std::memset(field, 0, width);
    std::memcpy(field, value.data(), std::min(value.size(), width));
    if (unterminated) {
        for (size_t i = value.size(); i < width; ++i)
            field[i] = '*';
    }
}

} // namespace

void fillDevInfo(const Token& t, const Hostility& h, DEVINFO* info)
{
    std::memset(info, 0, sizeof *info);
    info->Version.major = 1;
    info->Version.minor = 0;
    putText(info->Manufacturer, sizeof info->Manufacturer, t.manufacturer, h.devinfoUnterminated);
    putText(info->Issuer, sizeof info->Issuer, t.issuer, h.devinfoUnterminated);
    putText(info->Label, sizeof info->Label, t.label, h.devinfoUnterminated);
    putText(info->SerialNumber, sizeof info->SerialNumber, t.serial, h.devinfoUnterminated);
    info->HWVersion.major = t.hwMajor;
    info->HWVersion.minor = t.hwMinor;
    info->FirmwareVersion.major = t.fwMajor;
    info->FirmwareVersion.minor = t.fwMinor;
    info->AlgSymCap = SGD_SM4_ECB | SGD_SM4_CBC;
    info->AlgAsymCap = SGD_RSA | SGD_SM2_1 | SGD_SM2_2 | SGD_SM2_3;
    info->AlgHashCap = SGD_SM3 | SGD_SHA1 | SGD_SHA256;
    info->DevAuthAlgId = SGD_SM4_ECB;
    info->TotalSpace = t.totalSpace;
    info->FreeSpace = t.freeSpace;
    info->MaxECCBufferSize = 256;
    info->MaxBufferSize = 2048;
}

} // namespace softskf
