#include "upload/imagereader.h"

#include "base/constants.h"
#include "base/debuglog.h"
#include "store/imagequeue.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>

#include <limits>

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
    begin(folder);
    while (readSome(std::numeric_limits<int>::max())) {
    }
}

void ImageReader::begin(const QString &folder)
{
    if (reading)
        return;
    reading = true;
    folders.clear();
    visitedFolders.clear();
    clearImages();
    setProperty(TOTAL, 0);
    enterFolder(folder);
}

bool ImageReader::readSome(int maxEntries)
{
    for (int looked = 0; reading && looked < maxEntries;) {
        if (folders.empty()) {
            reading = false;
            visitedFolders.clear();
            Q_EMIT finishRead();
            break;
        }
        Folder &folder = folders.back();
        if (folder.next >= folder.entries.size()) {
            folders.pop_back();
            continue;
        }
        const QFileInfo entry = folder.entries.at(folder.next++);
        ++looked;
        examine(entry);
    }
    return reading;
}

void ImageReader::cancel()
{
    reading = false;
    folders.clear();
    visitedFolders.clear();
}

void ImageReader::enterFolder(const QString &folder)
{
    const QString canonical = QFileInfo(folder.isEmpty() ? QStringLiteral(".") : folder).canonicalFilePath();
    if (canonical.isEmpty() || visitedFolders.contains(canonical))
        return;
    visitedFolders.insert(canonical);
    folders.push_back({QDir(folder).entryInfoList(), 0});
}

void ImageReader::examine(const QFileInfo &entry)
{
    const QString fileName = entry.fileName();
    if (fileName == QLatin1String(".") || fileName == QLatin1String(".."))
        return;
    if (entry.isFile() && !hasImageSuffix(fileName))
        return;
    if (entry.isDir()) {
        enterFolder(entry.absoluteFilePath());
        return;
    }

    const QString path = entry.absoluteFilePath();
    const QSize size = pictureSize(path);
    const int sum = size.isValid() ? size.width() + size.height() : 0;
    if (sum <= MIN_SIZE_SUM) {
        debugQuoted("Too small size：", path);
        return;
    }
    if (!hasChineseCharacter(fileName)) {
        debugQuoted("Not find chinese word：", path);
        return;
    }

    const int total = property(TOTAL).toInt() + 1;
    setProperty(TOTAL, total);
    insertImage(total, fileName, path);
    Q_EMIT readImage(total);
}
