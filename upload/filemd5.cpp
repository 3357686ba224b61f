#include "upload/filemd5.h"

#include <QCryptographicHash>
#include <QFile>

namespace {

// Read straight into one buffer of this size, past the file's own buffering:
// fewer system calls and copies than the hash's own reading of a device.
const qint64 CHUNK_SIZE = 256 * 1024;

} // namespace

QString fileMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(CHUNK_SIZE, Qt::Uninitialized);
    for (;;) {
        const qint64 read = file.read(chunk.data(), CHUNK_SIZE);
        if (read < 0)
            return {};
        if (read == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), read));
    }
    if (!file.atEnd())
        return {};
    return QString::fromLatin1(hash.result().toHex());
}
