#pragma once

#include <QMap>
#include <QString>
#include <QWidget>

class Api;
class OSSApi;
class QLabel;
class QLineEdit;
class QPushButton;
class QStandardItemModel;
class QTableView;

// The batch download page. The member enters a download number and a folder;
// the site's answer for the number becomes one table row per picture, the
// number's spreadsheet and every picture land in the folder, the pictures in one
// sub-folder per category, and each row shows its picture's outcome.
//
// The row cursor of the download walk is the dynamic property "index".
class DownloadWidget : public QWidget
{
    Q_OBJECT

public:
    enum Column { CategoryColumn, NameColumn, PathColumn, Md5Column, StatusColumn, ColumnCount };

    DownloadWidget(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
    ~DownloadWidget() override;

    // A category, picture name or number may become one component of a local
    // path only when it cannot reach outside the folder it is placed in.
    static bool isSafePathComponent(const QString &component);

public Q_SLOTS:
    void selectDir();
    void startDownload();
    void successDownload(const QString &no, const QMap<QString, QString> &data);
    void finishDownload(bool success, int index);
    void clickOpenButton();

private:
    void downloadNext();
    bool checkFolder(const QString &folder);
    void appendRow(const QString &category, const QString &name, const QString &path,
                   const QString &md5, const QString &status);

    Api *api;
    OSSApi *ossApi;

    QLabel *numberLabel;
    QLineEdit *numberEdit;
    QLabel *dirLabel;
    QLineEdit *dirEdit;
    QPushButton *browseButton;
    QPushButton *openButton;
    QPushButton *startButton;
    QTableView *tableView;
    QStandardItemModel *model;

    // Download ids are the row number plus the first id of the run that sent
    // them; each new table starts past the ids of the previous one, so a result
    // of an earlier run never matches a row of the current table.
    int runFirstId = 0;
    int nextRunFirstId = 0;

    // The number of the latest start; answers for another number are stale.
    QString requestedNo;
    bool requested = false;
};
