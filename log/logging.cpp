#include "logging.h"

#include "keymgr_config.h"

#include <QString>
#include <QStringList>

Q_LOGGING_CATEGORY(lcSkf, "keymgr.skf", QtWarningMsg)
Q_LOGGING_CATEGORY(lcEvents, "keymgr.events", QtWarningMsg)
Q_LOGGING_CATEGORY(lcUi, "keymgr.ui", QtWarningMsg)
Q_LOGGING_CATEGORY(lcSettings, "keymgr.settings", QtWarningMsg)
Q_LOGGING_CATEGORY(lcApp, "keymgr.app", QtWarningMsg)

namespace keymgrlog {

namespace {

thread_local const Fields* t_fields = nullptr;
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;

// Publishes fields for exactly one record, also when the category drops the record.
class ScopedFields
{
public:
    explicit ScopedFields(const Fields& fields) { t_fields = &fields; }
    ~ScopedFields() { t_fields = nullptr; }
    ScopedFields(const ScopedFields&) = delete;
    ScopedFields& operator=(const ScopedFields&) = delete;
};

void categoryFilter(QLoggingCategory* category)
{
    if (g_previousFilter)
        g_previousFilter(category);
    if (qstrncmp(category->categoryName(), "keymgr.", 7) == 0 && category->isDebugEnabled())
        category->setEnabled(QtInfoMsg, true);
}

QByteArray hexCode(unsigned long code)
{
    return QByteArray("0x") + QByteArray::number(qulonglong(code), 16).toUpper().rightJustified(8, '0');
}

} // namespace

const Fields* currentFields()
{
    return t_fields;
}

void installCategoryFilter()
{
    if (!g_previousFilter)
        g_previousFilter = QLoggingCategory::installFilter(categoryFilter);
}

} // namespace keymgrlog

using keymgrlog::Fields;
using keymgrlog::ScopedFields;

void logSkfLibrary(const std::string& path, bool loaded, const std::string& loadError,
                   const std::vector<std::string>& missing)
{
    Fields fields;
    fields.skfLibrary = QByteArray::fromStdString(path);
    ScopedFields scope(fields);
    const QString start = QString::asprintf("keymgr %s (built %04d-%02d-%02d): SKF library %s", KEYMGR_PRODUCT_VERSION,
                                            KEYMGR_BUILD_YEAR, KEYMGR_BUILD_MONTH, KEYMGR_BUILD_DAY, path.c_str());
    if (!loaded) {
        qCWarning(lcSkf, "%s not loaded: %s", qUtf8Printable(start),
                  loadError.empty() ? "unknown reason" : loadError.c_str());
        return;
    }
    if (missing.empty()) {
        qCInfo(lcSkf, "%s loaded, every function bound", qUtf8Printable(start));
        return;
    }
    QStringList names;
    for (const std::string& name : missing)
        names << QString::fromStdString(name);
    qCWarning(lcSkf, "%s loaded; %d functions missing: %s", qUtf8Printable(start), int(missing.size()),
              qUtf8Printable(names.join(QLatin1String(", "))));
}

void logTokenEvent(unsigned long event, const char* device)
{
    Fields fields;
    fields.device = device ? QByteArray(device) : QByteArray();
    ScopedFields scope(fields);
    const char* what = event == 1 ? "inserted" : event == 2 ? "removed" : "unknown";
    qCInfo(lcEvents, "token event %lu (%s): device \"%s\"", event, what, fields.device.constData());
}

void logSkfFailure(const char* function, unsigned long result, const std::string& device)
{
    if (result == 0)
        return;
    Fields fields;
    fields.skfFunction = function;
    fields.skfResult = keymgrlog::hexCode(result);
    fields.device = QByteArray::fromStdString(device);
    ScopedFields scope(fields);
    qCWarning(lcSkf, "%s failed with %s on device \"%s\"", function, fields.skfResult.constData(),
              fields.device.constData());
}
