// Times the upload scan (sizes from picture headers) against the same walk that
// decodes every candidate in full, on one folder of generated JPEGs with Chinese
// names. Usage: scanbench [pictures] [width] [height]
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/imagereader.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTemporaryDir>

#include <cstdio>

namespace {

const int DEFAULT_PICTURES = 500;
const int DEFAULT_WIDTH = 4000;
const int DEFAULT_HEIGHT = 3000;
const int MIN_SIZE_SUM = 2000;
const int JPEG_QUALITY = 90;

QByteArray photoLikeJpeg(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, width, height);
    gradient.setColorAt(0, Qt::darkBlue);
    gradient.setColorAt(0.5, Qt::yellow);
    gradient.setColorAt(1, Qt::darkGreen);
    painter.fillRect(image.rect(), gradient);
    painter.setPen(Qt::white);
    for (int x = 0; x < width; x += 37)
        painter.drawLine(x, 0, width - x, height);
    painter.end();

    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", JPEG_QUALITY);
    return bytes;
}

// The walk with the size taken from a full decode, as a pixmap load gives it.
int fullDecodeScan(const QString &folder, int total)
{
    const QFileInfoList entries = QDir(folder).entryInfoList();
    for (const QFileInfo &entry : entries) {
        const QString fileName = entry.fileName();
        if (fileName == QLatin1String(".") || fileName == QLatin1String(".."))
            continue;
        if (entry.isFile() && !hasImageSuffix(fileName))
            continue;
        if (entry.isDir()) {
            total = fullDecodeScan(entry.absoluteFilePath(), total);
            continue;
        }
        const QPixmap pixmap(entry.absoluteFilePath());
        if (pixmap.width() + pixmap.height() <= MIN_SIZE_SUM || !hasChineseCharacter(fileName))
            continue;
        ++total;
        insertImage(total, fileName, entry.absoluteFilePath());
    }
    return total;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int pictures = args.size() > 1 ? args.at(1).toInt() : DEFAULT_PICTURES;
    const int width = args.size() > 2 ? args.at(2).toInt() : DEFAULT_WIDTH;
    const int height = args.size() > 3 ? args.at(3).toInt() : DEFAULT_HEIGHT;

    QTemporaryDir dir;
    openDatabase(dir.path());
    const QString folder = dir.filePath(QStringLiteral("素材"));
    QDir().mkpath(folder);
    const QByteArray jpeg = photoLikeJpeg(width, height);
    for (int i = 0; i < pictures; ++i) {
        QFile file(folder + QStringLiteral("/风景照片%1.jpg").arg(i, 4, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size())
            return 1;
    }

    ImageReader reader;
    int headerSelected = 0;
    QObject::connect(&reader, &ImageReader::readImage, &reader, [&headerSelected] { ++headerSelected; });
    QElapsedTimer clock;
    clock.start();
    reader.read(folder);
    const double headerMs = clock.nsecsElapsed() / 1e6;

    clearImages();
    clock.restart();
    const int decodeSelected = fullDecodeScan(folder, 0);
    const double decodeMs = clock.nsecsElapsed() / 1e6;

    // What both walks spend on the queue table alone.
    clearImages();
    clock.restart();
    for (int id = 1; id <= pictures; ++id)
        insertImage(id, QStringLiteral("风景照片.jpg"), folder);
    const double insertMs = clock.nsecsElapsed() / 1e6;

    std::printf("%d JPEGs of %dx%d (%lld KiB each)\n", pictures, width, height, qint64(jpeg.size() / 1024));
    std::printf("header sizes: %.1f ms (%d selected)\n", headerMs, headerSelected);
    std::printf("full decodes: %.1f ms (%d selected)\n", decodeMs, decodeSelected);
    std::printf("speed-up: %.1fx\n", decodeMs / headerMs);
    std::printf("of each, queue inserts alone: %.1f ms\n", insertMs);
    return headerSelected == decodeSelected ? 0 : 1;
}
