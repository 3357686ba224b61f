#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
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

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
