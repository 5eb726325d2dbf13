#include "certfile_select.h"

#include "multilang.h"
#include "tokentext.h"

#include <QCoreApplication>

namespace certfile {

namespace {

// A text as the tree shows it: looked up, then passed through the window's translation.
QString shown(unsigned long id, const char* defaultText)
{
    return QCoreApplication::translate("MainWindow", __(id, defaultText).c_str());
}

struct PairText
{
    unsigned long id;
    const char* text;
    bool sign;
};

constexpr PairText kPairTexts[] = {
    {30018, "Encrypt&Decrypt(RSA1024)", false},
    {30022, "Encrypt&Decrypt(RSA2048)", false},
    {30024, "Encrypt&Decrypt(ECC128)", false},
    {30026, "Encrypt&Decrypt(ECC256)", false},
    {30019, "Sign(RSA1024)", true},
    {30023, "Sign(RSA2048)", true},
    {30025, "Sign(ECC128)", true},
    {30027, "Sign(ECC256)", true},
};

} // namespace

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
    for (const PairText& candidate : kPairTexts) {
        if (pairText == shown(candidate.id, candidate.text)) {
            *sign = candidate.sign;
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
