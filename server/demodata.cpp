#include "server/demodata.h"

#include "server/objectstore.h"
#include "server/sitestore.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

const QString DemoData::USERNAME = QStringLiteral("demo");
const QString DemoData::PASSWORD = QStringLiteral("zamtu2026");
const QString DemoData::NUMBER = QStringLiteral("D20260001");
const QString DemoData::EXPIRED_NUMBER = QStringLiteral("D20190001");

namespace {

const int VALID_DAYS = 3650;
const int JPEG_QUALITY = 85;

// A picture of the given size: a colour gradient crossed by diagonal bands,
// different for each seed so that every picture has its own MD5.
QByteArray makePicture(int width, int height, uint seed, const char *format)
{
    QImage image(width, height, QImage::Format_RGB32);
    const int red = int(seed * 67 % 256);
    const int green = int(seed * 131 % 256);
    const int blue = int(seed * 199 % 256);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const bool band = ((x + y) / 80) % 2 == 0;
            line[x] = qRgb((red + x * 128 / width) % 256, (green + y * 128 / height) % 256,
                           band ? blue : 255 - blue);
        }
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, JPEG_QUALITY);
    return bytes;
}

// Qt reads GIF but cannot write it, so the demo's GIF is written here: an
// 8-bit palette picture whose LZW stream restarts with a clear code before the
// code table grows, which keeps every code 9 bits wide (larger than real
// compression, but any decoder reads it).
QByteArray makeGif(int width, int height, uint seed)
{
    const int clearCode = 256;
    const int endCode = 257;
    const int codesPerClear = 254; // the table reaches 511 entries, never 512

    QByteArray gif("GIF89a");
    const auto put16 = [&gif](int value) {
        gif.append(char(value & 0xff));
        gif.append(char((value >> 8) & 0xff));
    };
    put16(width);
    put16(height);
    gif.append(char(0xf7)); // global colour table of 256 entries
    gif.append('\0');
    gif.append('\0');
    for (int i = 0; i < 256; ++i) {
        gif.append(char((i * 7 + int(seed) * 31) & 0xff));
        gif.append(char((i * 3) & 0xff));
        gif.append(char(255 - i));
    }
    gif.append(',');
    put16(0);
    put16(0);
    put16(width);
    put16(height);
    gif.append('\0');
    gif.append(char(8)); // minimum code size

    QByteArray stream;
    quint32 bits = 0;
    int bitCount = 0;
    const auto putCode = [&](int code) {
        bits |= quint32(code) << bitCount;
        bitCount += 9;
        while (bitCount >= 8) {
            stream.append(char(bits & 0xff));
            bits >>= 8;
            bitCount -= 8;
        }
    };
    int sinceClear = codesPerClear;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (sinceClear == codesPerClear) {
                putCode(clearCode);
                sinceClear = 0;
            }
            putCode(((x / 40) + (y / 40) * 3) & 0xff);
            ++sinceClear;
        }
    }
    putCode(endCode);
    if (bitCount > 0)
        stream.append(char(bits & 0xff));
    for (qsizetype pos = 0; pos < stream.size(); pos += 255) {
        const QByteArray block = stream.mid(pos, 255);
        gif.append(char(block.size()));
        gif.append(block);
    }
    gif.append('\0');
    gif.append(';');
    return gif;
}

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

bool seedDemoData(SiteStore &store, ObjectStore &objects, const QString &samplesFolder)
{
    bool ok = store.addAccount(DemoData::USERNAME, DemoData::PASSWORD);

    // Pictures of the download number, stored under their MD5.
    const QByteArray cucumber = makePicture(1200, 900, 1, "jpg");
    const QByteArray beef = makePicture(1280, 960, 2, "png");
    const QByteArray pork = makePicture(1600, 1200, 3, "jpg");
    for (const QByteArray &picture : {cucumber, beef, pork})
        ok = objects.put(md5Hex(picture), picture) && ok;

    DownloadNumber number;
    number.no = DemoData::NUMBER;
    number.expiresAt = QDateTime::currentDateTimeUtc().addDays(VALID_DAYS);
    number.items = {{QStringLiteral("凉菜"), QStringLiteral("拍黄瓜"), md5Hex(cucumber)},
                    {QStringLiteral("凉菜"), QStringLiteral("夫妻肺片"), md5Hex(beef)},
                    {QStringLiteral("热菜"), QStringLiteral("红烧肉"), md5Hex(pork)},
                    {QStringLiteral("主食"), QStringLiteral("米饭"), QStringLiteral("MIAN")},
                    {QStringLiteral("汤羹"), QStringLiteral("例汤"), QStringLiteral("NO_IMAGE")}};
    ok = store.putNumber(number) && ok;

    DownloadNumber expired;
    expired.no = DemoData::EXPIRED_NUMBER;
    expired.expiresAt = QDateTime(QDate(2019, 12, 31), QTime(0, 0), Qt::UTC);
    expired.items = {{QStringLiteral("热菜"), QStringLiteral("红烧肉"), md5Hex(pork)}};
    ok = store.putNumber(expired) && ok;

    if (QFileInfo::exists(samplesFolder))
        return ok;
    const QDir samples(samplesFolder);
    // Selected: suffix in any case, width + height over 2000, a Chinese name.
    ok = writeFile(samples.filePath(QStringLiteral("红烧排骨.jpg")), makePicture(1600, 1200, 11, "jpg")) && ok;
    ok = writeFile(samples.filePath(QStringLiteral("清蒸鲈鱼.PNG")), makePicture(1200, 1000, 12, "png")) && ok;
    ok = writeFile(samples.filePath(QStringLiteral("汤品/西湖牛肉羹.jpeg")), makePicture(1001, 1000, 13, "jpg")) && ok;
    ok = writeFile(samples.filePath(QStringLiteral("汤品/酸辣汤.Gif")), makeGif(1100, 950, 16)) && ok;
    // Selected, and already in the bucket: the probe finds it.
    ok = writeFile(samples.filePath(QStringLiteral("拍黄瓜.jpg")), cucumber) && ok;
    // Rejected: 1000 + 1000 is not over 2000; no Chinese character; not a
    // picture suffix; a picture suffix on a file that is no picture.
    ok = writeFile(samples.filePath(QStringLiteral("小份凉菜.jpg")), makePicture(1000, 1000, 14, "jpg")) && ok;
    ok = writeFile(samples.filePath(QStringLiteral("english-name.jpg")), makePicture(1600, 1200, 15, "jpg")) && ok;
    ok = writeFile(samples.filePath(QStringLiteral("菜单说明.txt")), QByteArrayLiteral("demo\n")) && ok;
    ok = writeFile(samples.filePath(QStringLiteral("损坏图片.jpg")), QByteArrayLiteral("not a picture\n")) && ok;
    return ok;
}
