#pragma once

#include <QObject>
#include <QSet>
#include <QSize>
#include <QString>

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
    bool isReading() const { return reading; }

Q_SIGNALS:
    void readImage(int total);
    void finishRead();

private:
    void scan(const QString &folder);

    bool reading = false;
    // Canonical paths of the folders walked in this run: links may lead back into
    // a folder already on the way, which would otherwise be walked without end.
    QSet<QString> visitedFolders;
};
