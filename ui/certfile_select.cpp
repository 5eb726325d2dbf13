#include "certfile_select.h"

#include "multilang.h"
#include "skf_defs.h"
#include "tokentext.h"

#include <QCoreApplication>

namespace certfile {

namespace {

// A text as the tree shows it: looked up, then passed through the window's translation.
QString shown(unsigned long id, const char* defaultText)
{
    return QCoreApplication::translate("MainWindow", __(id, defaultText).c_str());
}

// The key-pair rows' labels by container type and public-key length.
struct PairLabel
{
    std::uint8_t type;
    std::uint32_t bits;
    unsigned long signId;
    const char* signText;
    unsigned long encId;
    const char* encText;
};

constexpr PairLabel kPairLabels[] = {
    {SKF_CONTAINER_RSA, 1024, 30019, "Sign(RSA1024)", 30018, "Encrypt&Decrypt(RSA1024)"},
    {SKF_CONTAINER_RSA, 2048, 30023, "Sign(RSA2048)", 30022, "Encrypt&Decrypt(RSA2048)"},
    {SKF_CONTAINER_ECC, 128, 30025, "Sign(ECC128)", 30024, "Encrypt&Decrypt(ECC128)"},
    {SKF_CONTAINER_ECC, 256, 30027, "Sign(ECC256)", 30026, "Encrypt&Decrypt(ECC256)"},
};

} // namespace

QString pairLabel(std::uint8_t type, bool sign, std::uint32_t bits)
{
    for (const PairLabel& label : kPairLabels) {
        if (label.type == type && label.bits == bits)
            return sign ? shown(label.signId, label.signText) : shown(label.encId, label.encText);
    }
    return QString();
}

QString containerSuffix()
{
    return shown(70001, "(container)");
}

bool certificateRow(const QModelIndex& index, bool* sign)
{
    const QModelIndex pair = index.parent();
    if (!index.isValid() || !pair.isValid())
        return false;
    const QString pairText = pair.data(Qt::DisplayRole).toString();
    bool found = false;
    for (const PairLabel& label : kPairLabels) {
        if (pairText == shown(label.signId, label.signText) || pairText == shown(label.encId, label.encText)) {
            *sign = pairText == shown(label.signId, label.signText);
            found = true;
            break;
        }
    }
    if (!found)
        return false;
    // The key items are the last two rows of a pair; a certificate whose common name happens to read
    // "Public key" stays the certificate it is.
    const QString item = index.data(Qt::DisplayRole).toString();
    const bool keyText = item == shown(30020, "Public key") || item == shown(30021, "Private key");
    const int rows = index.model()->rowCount(pair);
    return !(keyText && index.row() >= rows - 2);
}

QModelIndex containerOfItem(const QModelIndex& index)
{
    if (!index.isValid())
        return QModelIndex();
    if (!index.parent().isValid())
        return index;
    return index.parent().parent();
}

QModelIndex topLevelRow(const QModelIndex& index)
{
    QModelIndex row = index;
    while (row.isValid() && row.parent().isValid())
        row = row.parent();
    return row;
}

bool containerName(const QModelIndex& row, QByteArray* name)
{
    const QString suffix = containerSuffix();
    const QString label = row.data(Qt::DisplayRole).toString();
    if (label.size() <= suffix.size() || !label.endsWith(suffix))
        return false;
    const QByteArray bytes = row.data(tokentext::kNameBytesRole).toByteArray();
    if (bytes.isEmpty() || bytes.contains('\0') || bytes.size() >= kContainerNameBufferSize)
        return false;
    *name = bytes;
    return true;
}

} // namespace certfile
