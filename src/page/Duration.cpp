#include "page/Duration.h"

QString formatDuration(qint64 seconds)
{
    if (seconds < 0)
        return QStringLiteral("--:--:--");
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
