#include "webopen.h"

#include "childprocess.h"

#include <QStringList>

bool isOpenableWebAddress(const QString& address)
{
    return !address.isEmpty() && !address.startsWith(QLatin1Char('-')) && !address.contains(QChar(0));
}

bool openWebAddress(const QString& address)
{
    if (!isOpenableWebAddress(address))
        return false;
    return childprocess::startDetached(QStringLiteral("xdg-open"), QStringList() << address);
}
