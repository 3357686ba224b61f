#pragma once

#include <QStringList>
#include <QWidget>

class Api;
class OSSApi;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class Throttle;
class UploadRun;

// The batch-upload page: the member picks a folder and starts; the upload run
// takes every picture the walk selects through MD5, existence probe, storage
// upload and registration with the site. The page shows what the run reports:
// a running log, a line of counters (also the dynamic properties "total",
// "exists", "error", "success"), a progress bar and a status line with the
// controls to stop the run, retry the failed pictures and export the results.
class Upload2Widget : public QWidget
{
    Q_OBJECT

public:
    Upload2Widget(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
    ~Upload2Widget() override;

public Q_SLOTS:
    void clickScan();
    void clickUpload();
    void clickStop();
    void clickRetry();
    void clickExport();

private:
    void appendLog(const QString &line);
    void refresh();
    void runFinished();
    void updateButtons();

    QLineEdit *folderEdit;
    QPushButton *browseButton;
    QPushButton *startButton;
    QLabel *infoLabel;
    QPlainTextEdit *logView;
    QProgressBar *progressBar;
    QLabel *statusLabel;
    QPushButton *stopButton;
    QPushButton *retryButton;
    QPushButton *exportButton;
    UploadRun *run;
    Throttle *throttle;
    QStringList pendingLines; // written since the log view was last brought up to date
    bool logStarted = false;
    bool folderChosen = false;
    bool hasRun = false;
};
