#include "upload/imagereader.h"

#include "base/constants.h"
#include "base/debuglog.h"
#include "store/imagequeue.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

namespace {

const char TOTAL[] = "total";
const int MIN_SIZE_SUM = 2000;
const char16_t FIRST_CHINESE = 0x4E00; // 一
const char16_t LAST_CHINESE = 0x9FA5;  // 龥

} // namespace

bool hasImageSuffix(const QString &fileName)
{
    static const QStringList suffixes = IMAGE_SUFFIXES.split(QLatin1Char(','));
    // A name without a dot has no suffix of its own: the whole name stands in.
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    const QString suffix = dot < 0 ? fileName : fileName.mid(dot);
    return suffixes.contains(suffix.toLower());
}

bool hasChineseCharacter(const QString &name)
{
    for (const QChar ch : name) {
        if (ch.unicode() >= FIRST_CHINESE && ch.unicode() <= LAST_CHINESE)
            return true;
    }
    return false;
}

QSize pictureSize(const QString &path)
{
    // Pipes, sockets and devices are no pictures, and reading one could block the
    // walk for good.
    if (!QFileInfo(path).isFile())
        return {};
    QImageReader reader(path);
    QSize size = reader.size();
    if (size.isValid())
        return size;
    // Formats without the size in their header (and files that are no picture)
    // are decoded in full, as a pixmap load would.
    return QImageReader(path).read().size();
}

ImageReader::ImageReader(QObject *parent)
    : QObject(parent)
{
}

ImageReader::~ImageReader() = default;

void ImageReader::read(const QString &folder)
{
    if (reading)
        return;
    reading = true;
    visitedFolders.clear();

    clearImages();
    setProperty(TOTAL, 0);
    scan(folder);

    visitedFolders.clear();
    reading = false;
    Q_EMIT finishRead();
}

void ImageReader::scan(const QString &folder)
{
    const QString canonical = QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).canonicalFilePath();
    if (canonical.isEmpty() || visitedFolders.contains(canonical))
        return;
    visitedFolders.insert(canonical);

    const QFileInfoList entries = QDir(folder).entryInfoList();
    for (const QFileInfo &entry : entries) {
        const QString fileName = entry.fileName();
        if (fileName == QLatin1String(".") || fileName == QLatin1String(".."))
            continue;
        if (entry.isFile() && !hasImageSuffix(fileName))
            continue;
        if (entry.isDir()) {
            scan(entry.absoluteFilePath());
            continue;
        }

        const QString path = entry.absoluteFilePath();
        const QSize size = pictureSize(path);
        const int sum = size.isValid() ? size.width() + size.height() : 0;
        if (sum <= MIN_SIZE_SUM) {
            debugQuoted("Too small size：", path);
            continue;
        }
        if (!hasChineseCharacter(fileName)) {
            debugQuoted("Not find chinese word：", path);
            continue;
        }

        const int total = property(TOTAL).toInt() + 1;
        setProperty(TOTAL, total);
        insertImage(total, fileName, path);
        Q_EMIT readImage(total);
    }
}
