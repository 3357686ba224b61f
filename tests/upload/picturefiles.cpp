#include "picturefiles.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

namespace {

// Qt writes no GIF: a one-colour GIF with the given screen size, holding a single
// 1x1 frame, is assembled by hand.
QByteArray gifBytes(int width, int height)
{
    QByteArray gif("GIF89a");
    auto appendWord = [&gif](int value) {
        gif.append(char(value & 0xff));
        gif.append(char((value >> 8) & 0xff));
    };
    appendWord(width);
    appendWord(height);
    gif.append("\x80\x00\x00", 3);                 // two-entry global colour table
    gif.append("\x20\x80\x80\x00\x00\x00", 6);
    gif.append("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10); // 1x1 frame at 0,0
    gif.append("\x02\x02\x44\x01\x00", 5);         // its LZW data
    gif.append(';');
    return gif;
}

} // namespace

QString writePicture(const QString &path, int width, int height, QColor colour)
{
    if (path.endsWith(QLatin1String(".gif"), Qt::CaseInsensitive))
        return writeFile(path, gifBytes(width, height));
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    if (!image.save(path))
        qFatal("cannot write picture %s", qPrintable(path));
    return QFileInfo(path).absoluteFilePath();
}

QByteArray pngBytes(int width, int height, QColor colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return QFileInfo(path).absoluteFilePath();
}

QString fileMd5Hex(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return md5Hex(file.readAll());
}
