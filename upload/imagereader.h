#pragma once

#include <QFileInfoList>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>

#include <vector>

// True when the file name ends in one of the picture suffixes (any letter case).
bool hasImageSuffix(const QString &fileName);

// True when the name holds at least one CJK unified ideograph from U+4E00 to U+9FA5.
bool hasChineseCharacter(const QString &name);

// Width and height of the picture at path, read from its header where the format
// records them there, decoded otherwise. An invalid size when it is no readable
// picture.
QSize pictureSize(const QString &path);

// Walks a folder tree, selects the pictures that meet the site's upload rules and
// queues each one in the image table. The running count of selected pictures is
// the dynamic property "total"; each picture's id is the count after it.
//
// A walk is either done in one go (read) or a few entries at a time (begin,
// then readSome until it returns false), so that a batch run can let the event
// loop turn between the steps instead of running one inside the walk.
class ImageReader : public QObject
{
    Q_OBJECT

public:
    explicit ImageReader(QObject *parent = nullptr);
    ~ImageReader() override;

    // One complete, synchronous run: empties the queue, walks folder and emits
    // readImage for each selected picture, then finishRead once. A call made while
    // a run is in progress (from a handler of readImage) is ignored.
    void read(const QString &folder);

    // Starts a walk: empties the queue and restarts the count. Ignored while a
    // walk is in progress.
    void begin(const QString &folder);
    // Looks at up to maxEntries more entries, depth first, in the listing's
    // order. Emits finishRead when the walk is over; false from then on.
    bool readSome(int maxEntries);
    // Ends a walk in progress without finishRead.
    void cancel();
    bool isReading() const { return reading; }

Q_SIGNALS:
    void readImage(int total);
    void finishRead();

private:
    struct Folder
    {
        QFileInfoList entries;
        qsizetype next = 0;
    };

    void enterFolder(const QString &folder);
    void examine(const QFileInfo &entry);

    bool reading = false;
    std::vector<Folder> folders; // the folders on the way down, innermost last
    // Canonical paths of the folders walked in this run: links may lead back into
    // a folder already on the way, which would otherwise be walked without end.
    QSet<QString> visitedFolders;
};
