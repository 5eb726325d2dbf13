// Test fixture around softskf: drives softskf-ctl ($SOFTSKF_CTL) against the test's store
// ($SOFTSKF_DIR) and makes certificates. Tests that use the staged library or softskf-ctl need
// add_dependencies(<test> softskf softskf-ctl) in their CMakeLists.txt.
#ifndef KEYMGR_SOFTSKF_FIXTURE_H
#define KEYMGR_SOFTSKF_FIXTURE_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

class SoftSkfFixture
{
public:
    struct TokenSpec
    {
        QString name = QStringLiteral("TOKEN1");
        QString serial; // empty: "SN-" + name
        QString label;  // empty: the name
        QString manufacturer = QStringLiteral("softskf");
        QString issuer = QStringLiteral("softskf");
        QString hwVersion = QStringLiteral("1.0");
        QString fwVersion = QStringLiteral("1.0");
        quint32 totalSpace = 65536;
        quint32 freeSpace = 32768;
        QString devAuthKey = QStringLiteral("31323334353637383132333435363738"); // "1234567812345678"
        QString appName = QStringLiteral("ORVANE-PKIAPP");                       // empty: no application
        QString soPin = QStringLiteral("12345678");
        QString userPin = QStringLiteral("12345678");
        int soRetries = 6;
        int userRetries = 6;
        bool userPinDefault = false;
        bool present = true;
    };

    static QString ctl();      // $SOFTSKF_CTL
    static QString lib();      // $SOFTSKF_LIB
    static QString storeDir(); // $SOFTSKF_DIR
    // The bytes of the token's state file in the store, empty when it cannot be read.
    static QByteArray tokenState(const QString& token);

    // Runs softskf-ctl with args; true on exit status 0. Standard output goes to *out.
    bool run(const QStringList& args, QByteArray* out = nullptr) const;
    // Exit status and standard error of the last run (-1 when it did not start or crashed).
    int lastExitCode() const { return m_lastExitCode; }
    QByteArray lastError() const { return m_lastError; }

    bool init();  // creates the store
    bool reset(); // init --reset: no tokens, events, faults, latencies or hostile modes
    bool createToken(const TokenSpec& spec);
    // The default token but for its name, whether it is plugged in and whether its user PIN is the factory one.
    bool createToken(const QString& name, bool present = true, bool userPinDefault = false);
    bool deleteToken(const QString& name);
    // kind: "empty", "rsa1024", "rsa2048" or "sm2"
    bool addContainer(const QString& token, const QString& container, const QString& kind);
    // A certificate for the container's key pair, valid until now + notAfterDays (negative: expired).
    bool addCert(const QString& token, const QString& container, bool sign, const QString& commonName,
                 int notAfterDays);
    bool addCertNotAfter(const QString& token, const QString& container, bool sign, const QString& commonName,
                         const QDateTime& notAfter);
    // Stores the file's bytes unchanged as the certificate.
    bool importCert(const QString& token, const QString& container, bool sign, const QString& derPath);
    QByteArray certDer(const QString& token, const QString& container, bool sign);
    // which: "so" or "user"; pin empty keeps the value; negative numbers keep the setting.
    bool setPin(const QString& token, const QString& which, const QString& pin = QString(), int retries = -1,
                int remaining = -1, int isDefault = -1);
    bool setLabel(const QString& token, const QString& label);

    bool insert(const QString& name);
    bool remove(const QString& name);

    // function: "SKF_EnumDev" or "EnumDev"; "SKF_EnumDev#1,3": only those calls from now (in any process) fail.
    bool fail(const QString& function, quint32 code);
    bool clearFaults();
    bool latency(const QString& function, int ms); // function may be "all"; 0 removes
    bool hostile(const QString& mode, qint64 parameter = 0);
    bool hostileOff();

    QJsonObject show(const QString& token); // empty on failure
    // Of the token's first application: the user PIN's counters and flags, the container names.
    QJsonObject userPin(const QString& token);
    QStringList containers(const QString& token);
    QJsonArray list();
    QMap<QString, qint64> stats(); // function name -> calls, over all processes
    qint64 openHandles();          // handles open in every process now; -1 when it cannot be read
    bool resetStats();
    // The calls since the last reset but the event wait (the monitor thread's), and in *which
    // "SKF_Name count" by function.
    int callsBesidesEventWait(QString* which = nullptr);

    // A self-signed DER certificate with the given validity end (UTCTime up to 2049,
    // GeneralizedTime from 2050). keyKind: "sm2", "rsa1024" or "rsa2048".
    static QByteArray makeCertificate(const QString& commonName, const QDateTime& notAfter,
                                      const QDateTime& notBefore = QDateTime(),
                                      const QString& keyKind = QStringLiteral("sm2"));
    // A path for a scratch file in the test's temporary directory.
    static QString tempPath(const QString& fileName);
    // The bytes of a token or container name as softskf-ctl takes it: \xHH for any byte, else UTF-8.
    static QByteArray nameBytes(const QString& name);

private:
    mutable int m_lastExitCode = 0;
    mutable QByteArray m_lastError;
};

#endif
