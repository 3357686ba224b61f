#include "server/objectstore.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QUrl>

ObjectStore::ObjectStore(const QString &folder)
    : folder(folder)
{
    QDir().mkpath(folder);
}

QString ObjectStore::filePath(const QString &key) const
{
    // Percent-encoding leaves only letters, digits and "-._~": no separator and
    // no "." or ".." of its own, except for those two keys themselves.
    QByteArray name = QUrl::toPercentEncoding(key);
    if (name == "." || name == "..")
        name.replace('.', "%2E");
    return folder + QLatin1Char('/') + QString::fromLatin1(name);
}

bool ObjectStore::put(const QString &key, const QByteArray &bytes)
{
    QSaveFile file(filePath(key));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(bytes);
    return file.commit();
}

std::optional<QByteArray> ObjectStore::get(const QString &key) const
{
    QFile file(filePath(key));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool ObjectStore::contains(const QString &key) const
{
    return QFile::exists(filePath(key));
}

QStringList ObjectStore::keys() const
{
    QStringList result;
    const QStringList names = QDir(folder).entryList(QDir::Files, QDir::Name);
    for (const QString &name : names)
        result.append(QUrl::fromPercentEncoding(name.toLatin1()));
    return result;
}
