// How the certificate page reads its tree: which row is a certificate, of which key pair, in which
// container, and the container name a row stands for. Row texts are compared with the texts of the
// current language, as the tree was built with them.
#ifndef KEYMGR_CERTFILE_SELECT_H
#define KEYMGR_CERTFILE_SELECT_H

#include "windowconstants.h"

#include <QByteArray>
#include <QModelIndex>
#include <QString>

#include <cstdint>

namespace certfile {

// Container names travel to the token in a zero-filled buffer of this size, terminator included.
constexpr int kContainerNameBufferSize = 128;

// The role under which a certificate row keeps the bytes read when the tree was built.
using mainwin::kCertificateBytesRole;

// The label of a key-pair row for a container type and public-key length, or an empty text for a
// length the tree does not label.
QString pairLabel(std::uint8_t type, bool sign, std::uint32_t bits);

// The looked-up suffix of a container row, "(container)" in English.
QString containerSuffix();

// True when index is the certificate item of a key pair; *sign is then true for a signature pair
// and false for an encryption pair. Key-pair rows, containers, "Public key" and "Private key" give false.
bool certificateRow(const QModelIndex& index, bool* sign);

// The container row above a certificate-page row: the grandparent of an item, the row itself for a
// container; invalid for a key-pair row or no row.
QModelIndex containerOfItem(const QModelIndex& index);

// The top-level row above any row (the container), invalid for no row.
QModelIndex topLevelRow(const QModelIndex& index);

// The name of the container a container row stands for: the bytes the token listed, kept with the
// row (tokentext::kNameBytesRole), never its label encoded again. False when the label does not end
// with the suffix or has nothing before it, or the bytes are missing, hold a NUL or would not fit the
// token's buffer whole.
bool containerName(const QModelIndex& row, QByteArray* name);

} // namespace certfile

#endif
