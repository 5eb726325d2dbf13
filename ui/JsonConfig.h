#ifndef KEYMGR_JSONCONFIG_H
#define KEYMGR_JSONCONFIG_H

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The settings file: one JSON object. Keys the program does not know are kept as read and
// written back unchanged.
class JsonConfig {
public:
    explicit JsonConfig(const QString& path);

    // Replaces the object by the file's; false (object unchanged) when the file cannot be read,
    // is larger than kMaxFileSize or is not valid JSON.
    bool load();
    // The key's value; a missing key is logged and gives a null value.
    QJsonValue getField(const QString& key);
    void updateField(const QString& key, const QJsonValue& value);
    // Writes the object, indented, replacing the file in one step (a crash leaves the old file
    // whole). Missing directories are created for this user only; the file is 0600. A file there
    // that cannot be read as a JSON object is first copied to backupPath() (0600, replacing an
    // older copy) and the reason logged; when that copy cannot be made nothing is written.
    bool save();

    const QString& path() const { return m_path; }
    QString backupPath() const;
    const QJsonObject& object() const { return m_object; }

    static constexpr qint64 kMaxFileSize = 1024 * 1024;

private:
    enum Reading { Missing, Unreadable, NotAnObject, Read };
    Reading read(QJsonObject* object, QString* why) const;
    bool keepUnreadable();

    QString m_path;
    QJsonObject m_object;
};

#endif
