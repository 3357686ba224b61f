#pragma once

#include <QFile>
#include <QString>

// A file written beside its target and moved into place only when complete,
// so that a failed or partial write never replaces a good file. Unlike
// QSaveFile it does not force each file out to the disk before the move: a
// batch of pictures is written as fast as the network delivers it, and a
// picture lost to a power cut is simply fetched again. Without commit() the
// partial file is removed.
class PartFile : public QFile
{
    Q_OBJECT

public:
    explicit PartFile(const QString &targetPath, QObject *parent = nullptr);
    ~PartFile() override;

    // Creates a new part file beside the target and opens it for writing.
    bool create();
    // Closes the part file and moves it over the target; false, with the part
    // file removed, when it cannot be written out or moved.
    bool commit();
    // Closes and removes the part file.
    void discard();

    QString targetPath() const { return target; }

private:
    QString target;
};
