// The program's logging categories and the few records that carry structured fields.
//
// Categories show warnings and worse by default; QT_LOGGING_RULES="keymgr.*.debug=true" turns on
// the detail (debug and info) without a rebuild. No record ever holds a PIN, a PIN's length or a
// certificate body.
#ifndef KEYMGR_LOGGING_H
#define KEYMGR_LOGGING_H

#include <QByteArray>
#include <QLoggingCategory>

#include <string>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcSkf)
Q_DECLARE_LOGGING_CATEGORY(lcEvents)
Q_DECLARE_LOGGING_CATEGORY(lcUi)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcApp)

namespace keymgrlog {

// Journal fields that go with the record being written on this thread; a message handler that
// understands them reads them while the record passes through it.
struct Fields
{
    QByteArray skfFunction;
    QByteArray skfResult; // "0x0A000024"
    QByteArray device;
    QByteArray skfLibrary;
};
// The fields of the record now being written on this thread, or null.
const Fields* currentFields();

// Lets "keymgr.*.debug=true" also enable the info records of our categories.
void installCategoryFilter();

} // namespace keymgrlog

// The start-up record: version, SKF library path, whether it loaded (else why not) and which
// bound functions it lacks.
void logSkfLibrary(const std::string& path, bool loaded, const std::string& loadError,
                   const std::vector<std::string>& missing);
// A token event from the SKF library: its code and device name.
void logTokenEvent(unsigned long event, const char* device);
// A failed SKF call whose outcome the window reports to the user; a success logs nothing.
void logSkfFailure(const char* function, unsigned long result, const std::string& device);

#endif
