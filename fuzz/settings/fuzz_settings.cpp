// Fuzzes the settings reader with any file content: a file it refuses leaves the settings as they
// were; one it reads is an object whose keys, the program's own and unknown ones, survive a save
// and a second read unchanged.
#include "JsonConfig.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>

#include <cstdint>
#include <unistd.h>

namespace {

QString scratch(const char* name)
{
    return QDir::temp().filePath(QStringLiteral("fuzz-settings-%1-%2").arg(getpid()).arg(name));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString path = scratch("in");
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char*>(data), qint64(size));
    }

    JsonConfig config(path);
    config.updateField(QStringLiteral("openURL"), true);
    const QJsonObject before = config.object();
    const bool loaded = config.load();
    if (!loaded && config.object() != before)
        __builtin_trap();
    if (loaded && size > size_t(JsonConfig::kMaxFileSize))
        __builtin_trap();

    // The values the program takes from the file, of whatever type they turned out to be.
    config.getField(QStringLiteral("openURL")).toBool();
    config.getField(QStringLiteral("URL")).toString();

    if (loaded) {
        const QJsonObject read = config.object();
        JsonConfig copy(scratch("out"));
        for (auto it = read.begin(); it != read.end(); ++it)
            copy.updateField(it.key(), it.value());
        JsonConfig again(copy.path());
        if (!copy.save() || !again.load() || again.object() != read)
            __builtin_trap();
        QFile::remove(copy.path());
    }
    QFile::remove(path);
    return 0;
}
