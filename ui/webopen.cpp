#include "webopen.h"

#include <QProcess>
#include <QStringList>

bool isOpenableWebAddress(const QString& address)
{
    return !address.isEmpty() && !address.startsWith(QLatin1Char('-')) && !address.contains(QChar(0));
}

bool openWebAddress(const QString& address)
{
    if (!isOpenableWebAddress(address))
        return false;
    return QProcess::startDetached(QStringLiteral("xdg-open"), QStringList() << address);
}
