// keyprobe: answers libkeyprobe's three questions for shell scripts. It calls only the library's
// public functions, exactly as any other program would.
#include "certinfo.h"
#include "keymgr_config.h"
#include "keyprobe.h"

#include <QCommandLineParser>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum ExitStatus { kAnswered = 0, kNoToken = 1, kUsage = 2, kNoLibrary = 3, kTokenError = 4, kNotWritten = 5 };

const char kHelp[] = "Usage: keyprobe [--json] count\n"
                     "       keyprobe [--json] serial\n"
                     "       keyprobe [--json | --pem] certs\n"
                     "       keyprobe --help | --version\n"
                     "\n"
                     "Asks the first present security token through libkeyprobe.\n"
                     "  count    number of tokens present (0 is an answer too)\n"
                     "  serial   serial number of the first token\n"
                     "  certs    its certificates, one line each: usage (sign/enc), algorithm,\n"
                     "           subject common name, notAfter (ISO 8601 UTC), separated by tabs\n"
                     "  --json   one JSON document instead of text\n"
                     "  --pem    the certificates as a PEM bundle\n"
                     "\n"
                     "Exit status: 0 answered, 1 no token present, 2 usage error,\n"
                     "3 the SKF library could not be loaded, 4 the token answered with an error,\n"
                     "5 the answer could not be written.\n";

int fail(int status, const QString& message)
{
    std::fprintf(stderr, "keyprobe: %s\n", qUtf8Printable(message));
    return status;
}

void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
}

QString hexCode(quint32 rc)
{
    return QString::asprintf("0x%08X", unsigned(rc));
}

// libkeyprobe writes the loader's message to standard error when the SKF library cannot be
// opened. Running the load with standard error caught keeps the command to its one line.
long loadLibrary(QByteArray* loaderMessage)
{
    std::FILE* caught = std::tmpfile();
    const int saved = caught ? dup(STDERR_FILENO) : -1;
    if (saved < 0) {
        if (caught)
            std::fclose(caught);
        return Initialize();
    }
    std::fflush(stderr);
    dup2(fileno(caught), STDERR_FILENO);
    const long result = Initialize();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::rewind(caught);
    char line[512] = {};
    if (std::fgets(line, sizeof line, caught))
        *loaderMessage = QByteArray(line).trimmed();
    std::fclose(caught);
    return result;
}

// Maps a failed query to its exit status and message. A failure while no token is present (one
// pulled out during the query) is "no token", not a token error.
int queryFailed(quint32 rc)
{
    if (rc == KEYPROBE_NOT_BOUND)
        return fail(kNoLibrary, QStringLiteral("the SKF library lacks a function this query needs"));
    unsigned long count = 0;
    if (LM_UsbkeyOnline(&count) == KEYPROBE_OK && count == 0)
        return fail(kNoToken, QStringLiteral("no token present"));
    return fail(kTokenError, QStringLiteral("the token answered with error %1").arg(hexCode(rc)));
}

int requireToken()
{
    unsigned long count = 0;
    const quint32 rc = LM_UsbkeyOnline(&count);
    if (rc != KEYPROBE_OK)
        return queryFailed(rc);
    return count == 0 ? fail(kNoToken, QStringLiteral("no token present")) : kAnswered;
}

// Text from the token or a certificate with its control characters shown as '?': escapes, bells
// and line breaks never reach the terminal or a script's lines, in plain text or in JSON.
QString printable(QString text)
{
    for (QChar& c : text) {
        if (c.category() == QChar::Other_Control)
            c = QLatin1Char('?');
    }
    return text;
}

// Tabs and line breaks in a name would split a line of the text output.
QString field(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("-") : printable(text);
}

int runCount(bool json)
{
    unsigned long count = 0;
    const quint32 rc = LM_UsbkeyOnline(&count);
    if (rc != KEYPROBE_OK)
        return queryFailed(rc);
    if (json)
        writeOut(QJsonDocument(QJsonObject{{"count", qint64(count)}}).toJson(QJsonDocument::Compact) + '\n');
    else
        writeOut(QByteArray::number(qulonglong(count)) + '\n');
    return kAnswered;
}

int runSerial(bool json)
{
    if (int status = requireToken())
        return status;
    unsigned long length = 0;
    quint32 rc = LM_GetSerialNum(nullptr, &length);
    QByteArray serial(int(length), '\0');
    if (rc == KEYPROBE_OK)
        rc = LM_GetSerialNum(serial.data(), &length);
    if (rc != KEYPROBE_OK)
        return queryFailed(rc);
    const QString text = printable(QString::fromUtf8(serial.constData()));
    if (json)
        writeOut(QJsonDocument(QJsonObject{{"serial", text}}).toJson(QJsonDocument::Compact) + '\n');
    else
        writeOut(text.toUtf8() + '\n');
    return kAnswered;
}

// The blob through the two-call protocol; a certificate written between the calls makes the
// blob grow, so the size is learnt again a few times.
quint32 readBlob(QByteArray* blob)
{
    quint32 rc = KEYPROBE_BUFFER_TOO_SMALL;
    unsigned long length = 0;
    for (int attempt = 0; attempt < 4 && rc == KEYPROBE_BUFFER_TOO_SMALL; ++attempt) {
        blob->resize(int(length));
        rc = LM_GetUserCert(length ? reinterpret_cast<unsigned char*>(blob->data()) : nullptr, &length);
    }
    if (rc == KEYPROBE_OK)
        blob->resize(int(length));
    return rc;
}

QJsonValue orNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

int runCerts(bool json, bool pem)
{
    if (int status = requireToken())
        return status;
    QByteArray blob;
    const quint32 rc = readBlob(&blob);
    if (rc != KEYPROBE_OK)
        return queryFailed(rc);
    QVector<keyprobe::CertItem> items;
    if (!keyprobe::parseCertBlob(blob, &items))
        return fail(kTokenError, QStringLiteral("the certificate list from libkeyprobe is malformed"));

    QJsonArray list;
    QByteArray out;
    for (const keyprobe::CertItem& item : items) {
        const keyprobe::CertFields f = keyprobe::describeCertificate(item);
        if (pem) {
            out += keyprobe::toPem(item.der);
        } else if (json) {
            list.append(QJsonObject{{"usage", orNull(f.usage)},
                                    {"algorithm", orNull(f.algorithm)},
                                    {"subject", orNull(f.subject)},
                                    {"issuer", orNull(f.issuer)},
                                    {"serialNumber", orNull(f.serialNumber)},
                                    {"notBefore", orNull(f.notBefore)},
                                    {"notAfter", orNull(f.notAfter)},
                                    {"der", QString::fromLatin1(item.der.toBase64())}});
        } else {
            const QStringList columns{field(f.usage), field(f.algorithm), field(f.commonName), field(f.notAfter)};
            out += columns.join(QLatin1Char('\t')).toUtf8() + '\n';
        }
    }
    if (json)
        out = QJsonDocument(QJsonObject{{"certificates", list}}).toJson(QJsonDocument::Indented);
    writeOut(out);
    return kAnswered;
}

int answer(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    const QCommandLineOption jsonOption(QStringLiteral("json"));
    const QCommandLineOption pemOption(QStringLiteral("pem"));
    const QCommandLineOption helpOption(QStringList{"h", "help"});
    const QCommandLineOption versionOption(QStringList{"v", "version"});
    parser.addOptions({jsonOption, pemOption, helpOption, versionOption});
    const char* usageHint = "; see keyprobe --help";
    if (!parser.parse(arguments)) {
        QString error = parser.errorText();
        if (error.endsWith(QLatin1Char('.')))
            error.chop(1);
        return fail(kUsage, error + QLatin1String(usageHint));
    }
    if (parser.isSet(helpOption)) {
        writeOut(kHelp);
        return kAnswered;
    }
    if (parser.isSet(versionOption)) {
        writeOut("keyprobe " KEYMGR_PRODUCT_VERSION "\n");
        return kAnswered;
    }
    const QStringList commands = parser.positionalArguments();
    const QString command = commands.value(0);
    const bool json = parser.isSet(jsonOption);
    const bool pem = parser.isSet(pemOption);
    if (commands.size() != 1)
        return fail(kUsage, QStringLiteral("expected one command: count, serial or certs") + usageHint);
    if (!QStringList{"count", "serial", "certs"}.contains(command))
        return fail(kUsage, QStringLiteral("unknown command '%1'").arg(command) + usageHint);
    if (pem && (json || command != QLatin1String("certs")))
        return fail(kUsage, QStringLiteral("--pem goes with certs alone") + usageHint);

    QByteArray loaderMessage;
    if (loadLibrary(&loaderMessage) != 0) {
        return fail(kNoLibrary, QStringLiteral("cannot load the SKF library: %1")
                                    .arg(loaderMessage.isEmpty() ? QStringLiteral("unknown reason")
                                                                 : QString::fromLocal8Bit(loaderMessage)));
    }
    if (command == QLatin1String("count"))
        return runCount(json);
    if (command == QLatin1String("serial"))
        return runSerial(json);
    return runCerts(json, pem);
}

} // namespace

int main(int argc, char* argv[])
{
    const int status = answer(argc, argv);
    // A script must not take a lost answer (a full disk, a closed pipe) for an answer.
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(kNotWritten,
                    QStringLiteral("cannot write the answer: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    return status;
}
