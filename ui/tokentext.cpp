#include "tokentext.h"

#include <QTextCodec>

namespace tokentext {

namespace {

// The whole of bytes decoded by the named codec; a null string unless the text encodes back to
// exactly those bytes (a byte the codec cannot read comes back as U+FFFD, or not at all).
QString decodeStrictly(const char* codecName, const QByteArray& bytes)
{
    const QTextCodec* codec = QTextCodec::codecForName(codecName);
    if (!codec)
        return QString();
    // IgnoreHeader: a leading byte-order mark is part of the name, not a signal to drop.
    QTextCodec::ConverterState in(QTextCodec::IgnoreHeader);
    QTextCodec::ConverterState out(QTextCodec::IgnoreHeader);
    const QString text = codec->toUnicode(bytes.constData(), bytes.size(), &in);
    return codec->fromUnicode(text.constData(), text.size(), &out) == bytes ? text : QString();
}

QString hexByte(uint value)
{
    return QStringLiteral("\\x%1").arg(value, 2, 16, QLatin1Char('0'));
}

} // namespace

QString display(const QByteArray& bytes)
{
    QString text = decodeStrictly("UTF-8", bytes);
    if (text.isNull())
        text = decodeStrictly("GB18030", bytes);
    if (text.isNull()) {
        text = QString();
        for (char c : bytes) {
            const auto byte = static_cast<unsigned char>(c);
            text += byte >= 0x20 && byte < 0x7f ? QString(QLatin1Char(c)) : hexByte(byte);
        }
        return text;
    }
    QString shown;
    for (QChar c : text)
        shown += c.unicode() < 0x20 || c.unicode() == 0x7f ? hexByte(c.unicode()) : QString(c);
    return shown;
}

} // namespace tokentext
