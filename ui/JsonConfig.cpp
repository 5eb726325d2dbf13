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

bool JsonConfig::load()
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCDebug(lcSettings) << "could't open projects json";
        return false;
    }
    if (file.size() > kMaxFileSize) {
        qCWarning(lcSettings) << "JSON解析错误:" << "file larger than" << kMaxFileSize << "bytes";
        return false;
    }
    QByteArray data = file.read(kMaxFileSize + 1);
    file.close();
    if (data.size() > kMaxFileSize) {
        qCWarning(lcSettings) << "JSON解析错误:" << "file larger than" << kMaxFileSize << "bytes";
        return false;
    }

    QJsonParseError error {};
    QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(lcSettings) << "JSON解析错误:" << error.errorString();
        return false;
    }
    m_object = doc.isObject() ? doc.object() : QJsonObject();
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
