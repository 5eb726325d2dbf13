// Text that comes from a token: device, application and container names and the text fields of its
// device record. The names are bytes in whatever encoding the program that wrote them used; the rows
// that show them keep those bytes, and every action sends them back unchanged.
#ifndef KEYMGR_TOKENTEXT_H
#define KEYMGR_TOKENTEXT_H

#include "windowconstants.h"

#include <QByteArray>
#include <QString>

#include <string>

namespace tokentext {

// The role under which a device-tree or certificate-tree row keeps the name's bytes.
using mainwin::kNameBytesRole;

// The bytes for display: as UTF-8 when they are valid UTF-8, else as GB18030 (the encoding of
// Chinese enrolment programs) when they are valid there, else printable ASCII with \xHH for every
// other byte. Control characters show as \xHH in every case.
QString display(const QByteArray& bytes);
inline QString display(const std::string& bytes)
{
    return display(QByteArray::fromStdString(bytes));
}

} // namespace tokentext

#endif
