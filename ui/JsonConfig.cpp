#include "JsonConfig.h"

#include "logging.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>

#include <cerrno>

#include <sys/stat.h>

namespace {

// Creates `dir` and its missing parents with mode 0700, whatever the file-creation mask.
bool makeOwnerOnlyPath(const QString& dir)
{
    QFileInfo info(dir);
    if (info.isDir())
        return true;
    QString parent = info.absolutePath();
    if (parent != info.absoluteFilePath() && !makeOwnerOnlyPath(parent))
        return false;
    QByteArray native = QFile::encodeName(info.absoluteFilePath());
    if (mkdir(native.constData(), 0700) != 0)
        return errno == EEXIST && QFileInfo(dir).isDir();
    // mkdir applied the mask, which may have taken the owner's own rights away.
    return chmod(native.constData(), 0700) == 0;
}

}

JsonConfig::JsonConfig(const QString& path) : m_path(path) {}

QString JsonConfig::backupPath() const
{
    return m_path + QStringLiteral(".unreadable");
}

JsonConfig::Reading JsonConfig::read(QJsonObject* object, QString* why) const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return QFileInfo::exists(m_path) ? Unreadable : Missing;
    }
    const QByteArray data = file.read(kMaxFileSize + 1);
    file.close();
    if (data.size() > kMaxFileSize) {
        *why = QStringLiteral("file larger than %1 bytes").arg(kMaxFileSize);
        return Unreadable;
    }
    QJsonParseError error {};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        *why = error.errorString();
        return Unreadable;
    }
    // A document whose top level is no object is read as an empty one, but it is not ours to lose.
    if (!doc.isObject()) {
        *why = QStringLiteral("the top level is not an object");
        *object = QJsonObject();
        return NotAnObject;
    }
    *object = doc.object();
    return Read;
}

bool JsonConfig::load()
{
    QJsonObject object;
    QString why;
    switch (read(&object, &why)) {
    case Missing:
        qCDebug(lcSettings) << "could't open projects json";
        return false;
    case Unreadable:
        qCWarning(lcSettings) << "JSON解析错误:" << why;
        return false;
    case NotAnObject:
    case Read:
        break;
    }
    m_object = object;
    return true;
}

bool JsonConfig::keepUnreadable()
{
    QJsonObject ignored;
    QString why;
    const Reading reading = read(&ignored, &why);
    if (reading != Unreadable && reading != NotAnObject)
        return true;
    QFile original(m_path);
    if (!QFileInfo(m_path).isFile() || !original.open(QIODevice::ReadOnly)) {
        qCWarning(lcSettings) << "无法写入文件:" << m_path << "its content cannot be kept:" << original.errorString();
        return false;
    }
    // One backup, replaced as a whole, readable by the user alone whatever the mask.
    QSaveFile backup(backupPath());
    bool kept = backup.open(QIODevice::WriteOnly) && fchmod(backup.handle(), 0600) == 0;
    while (kept && !original.atEnd()) {
        const QByteArray chunk = original.read(64 * 1024);
        kept = !chunk.isEmpty() && backup.write(chunk) == chunk.size();
    }
    kept = kept && original.error() == QFileDevice::NoError && backup.commit();
    if (!kept) {
        backup.cancelWriting();
        qCWarning(lcSettings) << "无法写入文件:" << backupPath();
        return false;
    }
    qCWarning(lcSettings) << "the settings file" << m_path << "was not read (" << why << "); it is kept as"
                          << backupPath();
    return true;
}

QJsonValue JsonConfig::getField(const QString& key)
{
    if (!m_object.contains(key)) {
        qCWarning(lcSettings) << "字段不存在:" << key;
        return QJsonValue(QJsonValue::Null);
    }
    return m_object.value(key);
}

void JsonConfig::updateField(const QString& key, const QJsonValue& value)
{
    m_object.insert(key, value);
}

bool JsonConfig::save()
{
    QString dir = QFileInfo(m_path).absolutePath();
    if (!QFileInfo(dir).isDir()) {
        bool made = makeOwnerOnlyPath(dir);
        qCDebug(lcSettings) << "creat dir, path = " << dir << "rv = " << (made ? "true" : "false");
    }

    // A file written by hand that could not be read is kept beside before it is replaced.
    if (!keepUnreadable())
        return false;

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qCWarning(lcSettings) << "无法写入文件:" << m_path;
        return false;
    }
    // The temporary file is created under the process's mask, which is 0 in the daemon.
    if (fchmod(file.handle(), 0600) != 0) {
        file.cancelWriting();
        qCWarning(lcSettings) << "无法写入文件:" << m_path;
        return false;
    }
    QByteArray data = QJsonDocument(m_object).toJson(QJsonDocument::Indented);
    if (file.write(data) != data.size() || !file.commit()) {
        qCWarning(lcSettings) << "无法写入文件:" << m_path;
        return false;
    }
    return true;
}
