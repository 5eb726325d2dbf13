// Reading a certificate's end date and the notice it earns, under two time zones.
#include "cDevMgr.h"
#include "certParse.h"
#include "softskf_fixture.h"
#include "testfiles.h"

#include <openssl/asn1.h>

#include <QtTest>

#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

void setTimeZone(const QByteArray& zone)
{
    qputenv("TZ", zone);
    tzset();
}

// Seconds from now to local midnight at the start of the given day, the way the check counts.
long expectedSecondsLeft(const QDate& day)
{
    return static_cast<long>(QDateTime(day, QTime(0, 0), Qt::LocalTime).toSecsSinceEpoch() -
                             QDateTime::currentSecsSinceEpoch());
}

} // namespace

class TstExpiry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { setTimeZone("UTC"); }
    void noticeBoundaries_data();
    void noticeBoundaries();
    void readsEndDate_data();
    void readsEndDate();
    void certificateEndDates_data();
    void certificateEndDates();
    void firstCertificateOfToken_data();
    void firstCertificateOfToken();
    void tokenFailuresFindNothing();

private:
    SoftSkfFixture m_fx;
};

void TstExpiry::initTestCase()
{
    QVERIFY2(m_fx.init(), m_fx.lastError().constData());
    QCOMPARE(cDevMgr::getInst()->Initialize(), 0);
}

void TstExpiry::noticeBoundaries_data()
{
    QTest::addColumn<long>("secondsLeft");
    QTest::addColumn<int>("kind");
    QTest::addColumn<long>("days");

    const long day = 86400;
    QTest::newRow("exactly 30 days") << 30 * day << int(ExpiryNotice::None) << 31L;
    QTest::newRow("30 days less a second") << 30 * day - 1 << int(ExpiryNotice::Balloon) << 30L;
    QTest::newRow("exactly 7 days") << 7 * day << int(ExpiryNotice::Balloon) << 8L;
    QTest::newRow("7 days less a second") << 7 * day - 1 << int(ExpiryNotice::Warning) << 7L;
    QTest::newRow("ends now") << 0L << int(ExpiryNotice::Warning) << 1L;
    QTest::newRow("expired 12 hours ago") << -day / 2 << int(ExpiryNotice::Warning) << 1L;
    QTest::newRow("expired 86399 s ago") << -(day - 1) << int(ExpiryNotice::Warning) << 1L;
    QTest::newRow("expired a day ago") << -day << int(ExpiryNotice::Critical) << 1L;
    QTest::newRow("expired 3.5 days ago") << -(7 * day / 2) << int(ExpiryNotice::Critical) << 3L;
    QTest::newRow("a year left") << 365 * day << int(ExpiryNotice::None) << 366L;
}

void TstExpiry::noticeBoundaries()
{
    QFETCH(long, secondsLeft);
    QFETCH(int, kind);
    QFETCH(long, days);
    const ExpiryNotice notice = expiryNoticeFor(secondsLeft);
    QCOMPARE(int(notice.kind), kind);
    if (notice.kind != ExpiryNotice::None)
        QCOMPARE(notice.days, days);
}

void TstExpiry::readsEndDate_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("date");

    const int utc = V_ASN1_UTCTIME;
    const int gen = V_ASN1_GENERALIZEDTIME;
    QTest::newRow("UTCTime 49 is 2049") << utc << QByteArray("491231235959Z") << 0 << "2049-12-31";
    QTest::newRow("UTCTime 50 is 1950") << utc << QByteArray("500101000000Z") << 0 << "1950-01-01";
    QTest::newRow("UTCTime shortest") << utc << QByteArray("2506150930") << 0 << "2025-06-15";
    QTest::newRow("GeneralizedTime 2050") << gen << QByteArray("20500101000000Z") << 0 << "2050-01-01";
    QTest::newRow("GeneralizedTime 9999") << gen << QByteArray("99991231235959Z") << 0 << "9999-12-31";
    QTest::newRow("UTCTime too short") << utc << QByteArray("250615093") << -1 << "";
    QTest::newRow("month 13") << utc << QByteArray("251315000000Z") << -1 << "";
    QTest::newRow("month 0") << gen << QByteArray("20250015000000Z") << -1 << "";
    QTest::newRow("day 0") << utc << QByteArray("250600000000Z") << -1 << "";
    QTest::newRow("day 32") << utc << QByteArray("250632000000Z") << -1 << "";
    QTest::newRow("not digits") << utc << QByteArray("2x0615000000Z") << -1 << "";
    QTest::newRow("GeneralizedTime too short") << gen << QByteArray("2051061") << -1 << "";
}

void TstExpiry::readsEndDate()
{
    QFETCH(int, type);
    QFETCH(QByteArray, text);
    QFETCH(int, result);
    QFETCH(QString, date);

    ASN1_TIME* t = ASN1_STRING_type_new(type);
    QVERIFY(t);
    QVERIFY(ASN1_STRING_set(t, text.constData(), text.size()));
    char dateText[16];
    std::memset(dateText, 'x', sizeof dateText);
    int year = 0, month = 0, day = 0;
    QCOMPARE(getUTCTime(t, dateText, &year, &month, &day), result);
    ASN1_TIME_free(t);
    if (result == 0) {
        QCOMPARE(QString::fromLatin1(dateText), date);
        QCOMPARE(QStringLiteral("%1-%2-%3")
                     .arg(year, 4, 10, QChar('0'))
                     .arg(month, 2, 10, QChar('0'))
                     .arg(day, 2, 10, QChar('0')),
                 date);
    } else {
        QCOMPARE(year + month + day, 0);
    }
}

void TstExpiry::certificateEndDates_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDateTime>("notAfter");
    QTest::addColumn<int>("kind");

    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QByteArray& zone : {QByteArray("UTC"), QByteArray("Asia/Shanghai")}) {
        const char* z = zone.constData();
        QTest::addRow("%s: 2049 (UTCTime)", z)
            << zone << QDateTime(QDate(2049, 12, 31), QTime(23, 0), Qt::UTC) << int(ExpiryNotice::None);
        QTest::addRow("%s: 2050 (GeneralizedTime)", z)
            << zone << QDateTime(QDate(2050, 1, 1), QTime(1, 0), Qt::UTC) << int(ExpiryNotice::None);
        QTest::addRow("%s: 1950", z) << zone << QDateTime(QDate(1950, 6, 1), QTime(12, 0), Qt::UTC)
                                     << int(ExpiryNotice::Critical);
        QTest::addRow("%s: in 20 days", z) << zone << now.addDays(20) << int(ExpiryNotice::Balloon);
        QTest::addRow("%s: in 3 days", z) << zone << now.addDays(3) << int(ExpiryNotice::Warning);
        QTest::addRow("%s: 4 days ago", z) << zone << now.addDays(-4) << int(ExpiryNotice::Critical);
    }
}

void TstExpiry::certificateEndDates()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDateTime, notAfter);
    QFETCH(int, kind);

    const QByteArray der = SoftSkfFixture::makeCertificate("when", notAfter, notAfter.addYears(-1));
    QVERIFY(!der.isEmpty());
    setTimeZone(zone);
    long secondsLeft = 0;
    QCOMPARE(certParse::secondsLeftOf(reinterpret_cast<const unsigned char*>(der.constData()),
                                      static_cast<std::size_t>(der.size()), &secondsLeft),
             0);
    // The date is the certificate's (UTC) calendar day; its midnight is taken in local time.
    QVERIFY(qAbs(secondsLeft - expectedSecondsLeft(notAfter.toUTC().date())) <= 5);
    QCOMPARE(int(expiryNoticeFor(secondsLeft).kind), kind);
}

void TstExpiry::firstCertificateOfToken_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::newRow("UTC") << QByteArray("UTC");
    QTest::newRow("Asia/Shanghai") << QByteArray("Asia/Shanghai");
}

void TstExpiry::firstCertificateOfToken()
{
    QFETCH(QByteArray, zone);
    const QString token = "CERTS" + QString::fromLatin1(zone).remove('/');
    QVERIFY(m_fx.createToken(token));
    // Containers in list order; in each the encryption certificate is tried before the signature one.
    QVERIFY(m_fx.addContainer(token, "a-empty", "empty"));
    QVERIFY(m_fx.addContainer(token, "b-certs", "sm2"));
    QVERIFY(m_fx.addContainer(token, "c-later", "sm2"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QVERIFY(m_fx.addCertNotAfter(token, "b-certs", true, "sign", now.addDays(400)));
    QVERIFY(m_fx.addCertNotAfter(token, "b-certs", false, "enc", now.addDays(12)));
    QVERIFY(m_fx.addCertNotAfter(token, "c-later", false, "later", now.addDays(-40)));

    setTimeZone(zone);
    long secondsLeft = 0;
    certParse parser;
    QCOMPARE(parser.certValid(token.toLatin1().constData(), &secondsLeft), 0);
    QVERIFY(qAbs(secondsLeft - expectedSecondsLeft(now.addDays(12).date())) <= 5);

    // An unreadable end date counts as no certificate: no false "expired" notice.
    QByteArray der = m_fx.certDer(token, "b-certs", false);
    const QByteArray end = now.addDays(12).toString("yyMMdd").toLatin1();
    const int at = der.lastIndexOf(end);
    QVERIFY(at > 0);
    der.replace(at + 2, 2, "13");
    const QString path = SoftSkfFixture::tempPath("month13.der");
    QVERIFY(writeFile(path, der));
    QVERIFY(m_fx.importCert(token, "b-certs", false, path));
    QCOMPARE(parser.certValid(token.toLatin1().constData(), &secondsLeft), -1);
    QVERIFY(m_fx.deleteToken(token));
}

void TstExpiry::tokenFailuresFindNothing()
{
    certParse parser;
    long secondsLeft = 12345;
    QCOMPARE(parser.certValid("NOSUCHTOKEN", &secondsLeft), -1);
    QCOMPARE(parser.certValid("", &secondsLeft), -1);

    QVERIFY(m_fx.createToken("NOCERT"));
    QVERIFY(m_fx.addContainer("NOCERT", "k", "sm2"));
    QVERIFY(m_fx.resetStats());
    QCOMPARE(parser.certValid("NOCERT", &secondsLeft), -1);

    // A certificate of 11 KB is read whole and judged like any other.
    QVERIFY(m_fx.addCert("NOCERT", "k", true, "big", -10));
    QVERIFY(m_fx.hostile("long-cert", 11 * 1024));
    secondsLeft = 0;
    QCOMPARE(parser.certValid("NOCERT", &secondsLeft), 0);
    QCOMPARE(expiryNoticeFor(secondsLeft).days, 10L);
    QVERIFY(m_fx.hostileOff());
    // A reported length beyond the buffer is not read past it.
    QVERIFY(m_fx.hostile("size-overstated"));
    secondsLeft = 0;
    QCOMPARE(parser.certValid("NOCERT", &secondsLeft), 0);
    QVERIFY(m_fx.hostileOff());
    QCOMPARE(int(expiryNoticeFor(secondsLeft).kind), int(ExpiryNotice::Critical));
    QCOMPARE(expiryNoticeFor(secondsLeft).days, 10L);

    // Every handle the check opened is closed again.
    const QMap<QString, qint64> calls = m_fx.stats();
    QCOMPARE(calls.value("SKF_ConnectDev"), qint64(3));
    QCOMPARE(calls.value("SKF_DisConnectDev"), qint64(3));
    QCOMPARE(calls.value("SKF_CloseApplication"), calls.value("SKF_OpenApplication"));
    QCOMPARE(calls.value("SKF_CloseContainer"), calls.value("SKF_OpenContainer"));
    QVERIFY(m_fx.deleteToken("NOCERT"));
}

QTEST_GUILESS_MAIN(TstExpiry)
#include "tst_expiry.moc"
