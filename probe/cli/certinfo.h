// The keyprobe command's reading of libkeyprobe's certificate blob and of the certificates in it.
#ifndef KEYPROBE_CERTINFO_H
#define KEYPROBE_CERTINFO_H

#include <QByteArray>
#include <QString>
#include <QVector>

namespace keyprobe {

struct CertItem
{
    int tag = 0;
    QByteArray der;
};

// Splits a blob into its certificate items. False when the blob is not a well-formed blob: a
// wrong header, an item running past the end, or a count that differs from the items found.
bool parseCertBlob(const QByteArray& blob, QVector<CertItem>* items);

// What a script wants to know about one certificate. Text fields are empty when the
// certificate (or that part of it) cannot be decoded; usage is empty when it cannot be told.
struct CertFields
{
    bool decoded = false;
    QString usage;     // "sign" or "enc"
    QString algorithm; // "SM2", "RSA", "EC", ...
    QString subject;   // RFC 2253 form
    QString issuer;
    QString commonName;
    QString serialNumber; // lower-case hex
    QString notBefore;    // ISO 8601 UTC, e.g. 2027-01-31T23:59:59Z
    QString notAfter;
};

CertFields describeCertificate(const CertItem& item);

// The DER bytes as a PEM "CERTIFICATE" block.
QByteArray toPem(const QByteArray& der);

} // namespace keyprobe

#endif
