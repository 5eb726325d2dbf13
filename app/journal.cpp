#include "journal.h"

#include "logging.h"

#include <QByteArray>
#include <QString>

#include <sys/uio.h>
#include <syslog.h>
#include <unistd.h>
// The record's own place in the code comes from Qt's context, not from this handler's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <vector>

namespace {

QtMessageHandler g_previousHandler = nullptr;
const char kJournalSocket[] = "/run/systemd/journal/socket";

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

void journalOrPreviousHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // sd_journal_sendv() drops a record silently when no journal listens; asked first, the
    // record goes to the handler before ours instead.
    if (access(kJournalSocket, W_OK) == 0)
        journalHandler(type, context, message);
    else if (g_previousHandler)
        g_previousHandler(type, context, message);
}

} // namespace

void installJournalHandler()
{
    QtMessageHandler previous = qInstallMessageHandler(journalOrPreviousHandler);
    if (previous != journalOrPreviousHandler)
        g_previousHandler = previous;
}
