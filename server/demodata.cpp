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
