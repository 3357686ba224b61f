#pragma once

#include <QWidget>

class Api;
class DownloadRun;
class OSSApi;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStandardItemModel;
class QTableView;
class Throttle;

// The batch download page. The member enters a download number and a folder;
// the download run turns the site's answer into one table row per picture,
// fetches the number's spreadsheet and every picture into the folder, the
// pictures in one sub-folder per category. The page shows each row's outcome,
// a progress bar and a status line with the controls to stop the run, retry
// what failed and export the results.
class DownloadWidget : public QWidget
{
    Q_OBJECT

public:
    enum Column { CategoryColumn, NameColumn, PathColumn, Md5Column, StatusColumn, ColumnCount };

    DownloadWidget(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
    ~DownloadWidget() override;

public Q_SLOTS:
    void selectDir();
    void startDownload();
    void stopDownload();
    void retryFailed();
    void exportResults();
    void clickOpenButton();

private:
    void showRows();
    void showRow(int row);
    void refresh();
    void runFinished();
    void updateButtons();

    QLabel *numberLabel;
    QLineEdit *numberEdit;
    QLabel *dirLabel;
    QLineEdit *dirEdit;
    QPushButton *browseButton;
    QPushButton *openButton;
    QPushButton *startButton;
    QTableView *tableView;
    QStandardItemModel *model;
    QProgressBar *progressBar;
    QLabel *statusLabel;
    QPushButton *stopButton;
    QPushButton *retryButton;
    QPushButton *exportButton;
    DownloadRun *run;
    Throttle *throttle;
    bool hasRun = false;
};
