#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

class Api;
class ImageReader;
class OSSApi;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;
struct ImageRecord;

// The batch-upload page: the member picks a folder and starts; every picture the
// scan selects goes through MD5, existence probe, storage upload and registration
// with the site. A running log and a line of counters (dynamic properties "total",
// "exists", "error", "success") show the progress.
class Upload2Widget : public QWidget
{
    Q_OBJECT

public:
    Upload2Widget(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
    ~Upload2Widget() override;

public Q_SLOTS:
    void clickScan();
    void readImage(int total);
    void finishRead();
    void clickUpload();
    void finishExists(bool exists, int id, const QString &md5);
    void finishUpload(bool success, int id, const QString &md5);
    void successOss(int id, const QString &md5);

private:
    void appendLog(const QString &line);
    void showLog(qsizetype dropped);
    void updateCounters();
    void pause();
    void resetCounters();
    void increment(const char *counter);
    // Reads the picture's queue row; a missing row ends the picture as a failure.
    bool findRecord(int id, ImageRecord &record);
    void failPicture(const QString &logLine);

    QLineEdit *folderEdit;
    QPushButton *browseButton;
    QPushButton *startButton;
    QLabel *infoLabel;
    QTextEdit *logView;
    QStringList logLines;
    QList<int> shownLengths; // characters each log line takes in the view
    Api *api;
    OSSApi *ossApi;
    ImageReader *reader;
    bool pausing = false;
};
