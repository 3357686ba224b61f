#include "base/config.h"

#include <QCoreApplication>
#include <QSettings>

QVariant readConfig(const QString &key)
{
    const QSettings settings(QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini"),
                             QSettings::IniFormat);
    return settings.value(key);
}
