#include "upload/filemd5.h"

#include <QCryptographicHash>
#include <QFile>

QString fileMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file) || !file.atEnd())
        return {};
    return QString::fromLatin1(hash.result().toHex());
}
