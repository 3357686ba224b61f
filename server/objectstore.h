#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The bucket's objects as files in one folder. A key may hold any character,
// "/" included, so each file is named after the percent-encoded key.
class ObjectStore
{
public:
    explicit ObjectStore(const QString &folder);

    bool put(const QString &key, const QByteArray &bytes);
    std::optional<QByteArray> get(const QString &key) const;
    bool contains(const QString &key) const;
    QStringList keys() const;

private:
    QString filePath(const QString &key) const;

    QString folder;
};
