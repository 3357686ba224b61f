#include "testsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>

namespace {

QString configPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini");
}

} // namespace

void writeSiteConfig(const QString &domain)
{
    QSettings settings(configPath(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Server/domain"), domain);
    settings.sync();
}

void removeSiteConfig()
{
    QFile::remove(configPath());
}
