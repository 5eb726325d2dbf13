#include "journal.h"

#include "logging.h"

#include <QByteArray>
#include <QString>

#include <sys/uio.h>
#include <syslog.h>
// The record's own place in the code comes from Qt's context, not from this handler's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <vector>

namespace {

QtMessageHandler g_previousHandler = nullptr;

int priorityOf(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return LOG_DEBUG;
    case QtInfoMsg:
        return LOG_INFO;
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_ERR;
    case QtFatalMsg:
        return LOG_CRIT;
    }
    return LOG_NOTICE;
}

void journalHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // The native protocol carries any bytes, line breaks included, in a field's value.
    std::vector<QByteArray> fields{"MESSAGE=" + message.toUtf8(), "PRIORITY=" + QByteArray::number(priorityOf(type)),
                                   "SYSLOG_IDENTIFIER=keymgr"};
    if (context.category)
        fields.push_back(QByteArray("QT_CATEGORY=") + context.category);
    if (context.file) {
        fields.push_back(QByteArray("CODE_FILE=") + context.file);
        fields.push_back("CODE_LINE=" + QByteArray::number(context.line));
    }
    if (context.function)
        fields.push_back(QByteArray("CODE_FUNC=") + context.function);
    if (const keymgrlog::Fields* extra = keymgrlog::currentFields()) {
        const std::pair<const char*, const QByteArray*> named[] = {{"SKF_FUNCTION=", &extra->skfFunction},
                                                                   {"SKF_RESULT=", &extra->skfResult},
                                                                   {"DEVICE=", &extra->device},
                                                                   {"SKF_LIBRARY=", &extra->skfLibrary}};
        for (const auto& field : named) {
            if (!field.second->isEmpty())
                fields.push_back(field.first + *field.second);
        }
    }
    std::vector<iovec> iov;
    for (QByteArray& field : fields)
        iov.push_back({field.data(), size_t(field.size())});
    if (sd_journal_sendv(iov.data(), int(iov.size())) < 0 && g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

void installJournalHandler()
{
    QtMessageHandler previous = qInstallMessageHandler(journalHandler);
    if (previous != journalHandler)
        g_previousHandler = previous;
}
