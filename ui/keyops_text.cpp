#include "keyops_text.h"

#include "multilang.h"

#include <QObject>

namespace keyops {

namespace {
const char kCounterFormat[] = "Already input %d character";
constexpr std::size_t kCounterBufferSize = 128;
} // namespace

QString counterText(int count)
{
    std::string text = ml_formatNumber(30028, kCounterFormat, count);
    if (text.size() >= kCounterBufferSize)
        text = QString::asprintf(kCounterFormat, count).toStdString();
    return QObject::tr(text.c_str());
}

QByteArray utf8UntilNul(const QString& text)
{
    QByteArray bytes = text.toUtf8();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    return bytes;
}

} // namespace keyops
