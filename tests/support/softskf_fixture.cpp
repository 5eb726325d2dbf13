#include "softskf_fixture.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QtDebug>

#include <memory>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

QString envPath(const char* name)
{
    return QProcessEnvironment::systemEnvironment().value(QString::fromLatin1(name));
}

const char* yesNo(bool v)
{
    return v ? "yes" : "no";
}

} // namespace

QString SoftSkfFixture::ctl()
{
    return envPath("SOFTSKF_CTL");
}

QString SoftSkfFixture::lib()
{
    return envPath("SOFTSKF_LIB");
}

QString SoftSkfFixture::storeDir()
{
    return envPath("SOFTSKF_DIR");
}

QByteArray SoftSkfFixture::tokenState(const QString& token)
{
    QFile file(storeDir() + "/tokens/" + token + "/token.state");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool SoftSkfFixture::run(const QStringList& args, QByteArray* out) const
{
    m_lastExitCode = -1;
    m_lastError.clear();
    if (ctl().isEmpty()) {
        m_lastError = "SOFTSKF_CTL is not set";
        qWarning("softskf-ctl: SOFTSKF_CTL is not set");
        return false;
    }
    QProcess p;
    p.start(ctl(), args);
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        m_lastError = "softskf-ctl did not finish";
        qWarning() << "softskf-ctl" << args << "did not finish";
        return false;
    }
    m_lastError = p.readAllStandardError();
    if (out)
        *out = p.readAllStandardOutput();
    if (p.exitStatus() != QProcess::NormalExit)
        return false;
    m_lastExitCode = p.exitCode();
    if (m_lastExitCode != 0)
        qWarning() << "softskf-ctl" << args << "failed:" << m_lastError.trimmed();
    return m_lastExitCode == 0;
}

bool SoftSkfFixture::init()
{
    return run({QStringLiteral("init")});
}

bool SoftSkfFixture::reset()
{
    return run({QStringLiteral("init"), QStringLiteral("--reset")});
}

bool SoftSkfFixture::createToken(const TokenSpec& s)
{
    QStringList a{QStringLiteral("create"), s.name};
    if (!s.serial.isEmpty())
        a << QStringLiteral("--serial") << s.serial;
    if (!s.label.isEmpty())
        a << QStringLiteral("--label") << s.label;
    a << QStringLiteral("--manufacturer") << s.manufacturer << QStringLiteral("--issuer") << s.issuer
      << QStringLiteral("--hw-version") << s.hwVersion << QStringLiteral("--fw-version") << s.fwVersion
      << QStringLiteral("--total-space") << QString::number(s.totalSpace) << QStringLiteral("--free-space")
      << QString::number(s.freeSpace) << QStringLiteral("--auth-key") << s.devAuthKey;
    if (s.appName.isEmpty()) {
        a << QStringLiteral("--no-app");
    } else {
        a << QStringLiteral("--app") << s.appName << QStringLiteral("--so-pin") << s.soPin
          << QStringLiteral("--user-pin") << s.userPin << QStringLiteral("--so-retries") << QString::number(s.soRetries)
          << QStringLiteral("--user-retries") << QString::number(s.userRetries) << QStringLiteral("--user-pin-default")
          << QLatin1String(yesNo(s.userPinDefault));
    }
    if (!s.present)
        a << QStringLiteral("--absent");
    return run(a);
}

bool SoftSkfFixture::createToken(const QString& name, bool present, bool userPinDefault)
{
    TokenSpec spec;
    spec.name = name;
    spec.present = present;
    spec.userPinDefault = userPinDefault;
    return createToken(spec);
}

bool SoftSkfFixture::deleteToken(const QString& name)
{
    return run({QStringLiteral("delete"), name});
}

bool SoftSkfFixture::addContainer(const QString& token, const QString& container, const QString& kind)
{
    return run({QStringLiteral("add-container"), token, container, kind});
}

bool SoftSkfFixture::addCert(const QString& token, const QString& container, bool sign, const QString& commonName,
                             int notAfterDays)
{
    return run({QStringLiteral("add-cert"), token, container, sign ? QStringLiteral("sign") : QStringLiteral("enc"),
                QStringLiteral("--cn"), commonName, QStringLiteral("--days=%1").arg(notAfterDays)});
}

bool SoftSkfFixture::addCertNotAfter(const QString& token, const QString& container, bool sign,
                                     const QString& commonName, const QDateTime& notAfter)
{
    QString time = notAfter.toUTC().toString(QStringLiteral("yyyyMMddHHmmss")) + QLatin1Char('Z');
    return run({QStringLiteral("add-cert"), token, container, sign ? QStringLiteral("sign") : QStringLiteral("enc"),
                QStringLiteral("--cn"), commonName, QStringLiteral("--not-after"), time});
}

bool SoftSkfFixture::importCert(const QString& token, const QString& container, bool sign, const QString& derPath)
{
    return run({QStringLiteral("add-cert"), token, container, sign ? QStringLiteral("sign") : QStringLiteral("enc"),
                QStringLiteral("--from"), derPath});
}

QByteArray SoftSkfFixture::certDer(const QString& token, const QString& container, bool sign)
{
    QString path = tempPath(QStringLiteral("softskf-export-%1.der").arg(QCoreApplication::applicationPid()));
    QByteArray der;
    if (run({QStringLiteral("export-cert"), token, container, sign ? QStringLiteral("sign") : QStringLiteral("enc"),
             path})) {
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            der = f.readAll();
    }
    QFile::remove(path);
    return der;
}

bool SoftSkfFixture::setPin(const QString& token, const QString& which, const QString& pin, int retries, int remaining,
                            int isDefault)
{
    QStringList a{QStringLiteral("set-pin"), token, which};
    if (!pin.isEmpty())
        a << QStringLiteral("--pin") << pin;
    if (retries >= 0)
        a << QStringLiteral("--retries") << QString::number(retries);
    if (remaining >= 0)
        a << QStringLiteral("--remaining") << QString::number(remaining);
    if (isDefault >= 0)
        a << QStringLiteral("--default") << QLatin1String(yesNo(isDefault != 0));
    return run(a);
}

bool SoftSkfFixture::setLabel(const QString& token, const QString& label)
{
    return run({QStringLiteral("set-label"), token, label});
}

bool SoftSkfFixture::insert(const QString& name)
{
    return run({QStringLiteral("insert"), name});
}

bool SoftSkfFixture::remove(const QString& name)
{
    return run({QStringLiteral("remove"), name});
}

bool SoftSkfFixture::fail(const QString& function, quint32 code)
{
    const QStringList args{QStringLiteral("fail"), function.section('#', 0, 0),
                           QStringLiteral("0x%1").arg(code, 8, 16, QLatin1Char('0'))};
    if (!function.contains('#'))
        return run(args);
    for (const QString& call : function.section('#', 1).split(','))
        if (!run(args + QStringList{QStringLiteral("--call"), call}))
            return false;
    return true;
}

bool SoftSkfFixture::clearFaults()
{
    return run({QStringLiteral("clear-faults")});
}

bool SoftSkfFixture::latency(const QString& function, int ms)
{
    return run({QStringLiteral("latency"), function, QString::number(ms)});
}

bool SoftSkfFixture::hostile(const QString& mode, qint64 parameter)
{
    QStringList a{QStringLiteral("hostile"), mode};
    if (parameter > 0)
        a << QString::number(parameter);
    return run(a);
}

bool SoftSkfFixture::hostileOff()
{
    return run({QStringLiteral("hostile"), QStringLiteral("off")});
}

QJsonObject SoftSkfFixture::show(const QString& token)
{
    QByteArray out;
    if (!run({QStringLiteral("show"), token, QStringLiteral("--json")}, &out))
        return QJsonObject();
    return QJsonDocument::fromJson(out).object();
}

QJsonObject SoftSkfFixture::userPin(const QString& token)
{
    return show(token).value(QStringLiteral("applications")).toArray().at(0).toObject().value("userPin").toObject();
}

QStringList SoftSkfFixture::containers(const QString& token)
{
    QStringList names;
    const QJsonObject app = show(token).value(QStringLiteral("applications")).toArray().at(0).toObject();
    for (const QJsonValue& container : app.value(QStringLiteral("containers")).toArray())
        names << container.toObject().value(QStringLiteral("name")).toString();
    return names;
}

QJsonArray SoftSkfFixture::list()
{
    QByteArray out;
    if (!run({QStringLiteral("list"), QStringLiteral("--json")}, &out))
        return QJsonArray();
    return QJsonDocument::fromJson(out).object().value(QStringLiteral("tokens")).toArray();
}

QMap<QString, qint64> SoftSkfFixture::stats()
{
    QMap<QString, qint64> result;
    QByteArray out;
    if (!run({QStringLiteral("stats"), QStringLiteral("--json")}, &out))
        return result;
    QJsonObject o = QJsonDocument::fromJson(out).object();
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key().startsWith(QLatin1String("SKF_")))
            result.insert(it.key(), static_cast<qint64>(it.value().toDouble()));
    }
    return result;
}

qint64 SoftSkfFixture::openHandles()
{
    QByteArray out;
    if (!run({QStringLiteral("stats"), QStringLiteral("--json")}, &out))
        return -1;
    return static_cast<qint64>(QJsonDocument::fromJson(out).object().value("openHandles").toDouble(-1));
}

bool SoftSkfFixture::resetStats()
{
    return run({QStringLiteral("stats"), QStringLiteral("--reset")});
}

int SoftSkfFixture::callsBesidesEventWait(QString* which)
{
    int total = 0;
    QStringList parts;
    const QMap<QString, qint64> counts = stats();
    for (auto it = counts.begin(); it != counts.end(); ++it) {
        if (it.value() == 0 || it.key().contains(QLatin1String("WaitForDevEvent")))
            continue;
        total += int(it.value());
        parts << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    }
    if (which)
        *which = parts.join(QStringLiteral(", "));
    return total;
}

QByteArray SoftSkfFixture::nameBytes(const QString& name)
{
    QByteArray bytes = name.toUtf8();
    for (int at = bytes.indexOf("\\x"); at >= 0; at = bytes.indexOf("\\x", at + 1)) {
        bool hex = false;
        const int value = bytes.mid(at + 2, 2).toInt(&hex, 16);
        if (hex && bytes.mid(at + 2, 2).size() == 2)
            bytes.replace(at, 4, QByteArray(1, char(value)));
    }
    return bytes;
}

QByteArray SoftSkfFixture::makeCertificate(const QString& commonName, const QDateTime& notAfter,
                                           const QDateTime& notBefore, const QString& keyKind)
{
    EVP_PKEY* key = nullptr;
    if (keyKind == QLatin1String("rsa1024"))
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024));
    else if (keyKind == QLatin1String("rsa2048"))
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
    else
        key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> keyOwner(key, EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert)
        return QByteArray();
    QDateTime start = notBefore.isValid() ? notBefore : notAfter.addYears(-1);
    unsigned char serial[8];
    RAND_bytes(serial, sizeof serial);
    serial[0] = static_cast<unsigned char>((serial[0] & 0x7f) | 0x10);
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    bool ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) && X509_set_version(cert.get(), 2);
    BN_free(bn);
    QByteArray cn = commonName.toUtf8();
    X509_NAME* name = X509_get_subject_name(cert.get());
    ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.data()),
                                          cn.size(), -1, 0);
    ok = ok && X509_set_issuer_name(cert.get(), name);
    ok = ok && ASN1_TIME_set(X509_getm_notBefore(cert.get()), static_cast<time_t>(start.toSecsSinceEpoch()));
    ok = ok && ASN1_TIME_set(X509_getm_notAfter(cert.get()), static_cast<time_t>(notAfter.toSecsSinceEpoch()));
    ok = ok && X509_set_pubkey(cert.get(), key);
    ok = ok && X509_sign(cert.get(), key, EVP_PKEY_is_a(key, "RSA") ? EVP_sha256() : EVP_sm3()) > 0;
    if (!ok)
        return QByteArray();
    unsigned char* der = nullptr;
    int len = i2d_X509(cert.get(), &der);
    if (len <= 0)
        return QByteArray();
    QByteArray result(reinterpret_cast<const char*>(der), len);
    OPENSSL_free(der);
    return result;
}

QString SoftSkfFixture::tempPath(const QString& fileName)
{
    return QDir(QDir::tempPath()).filePath(fileName);
}
