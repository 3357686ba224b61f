#pragma once

#include "base/transferoutcome.h"

#include "base/runpolicy.h"
#include "base/servicehealth.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class Api;
class OSSApi;

// The statuses of a row.
inline const QString DOWNLOAD_READY = QStringLiteral("准备下载");
inline const QString DOWNLOAD_MIAN = QStringLiteral("免图");        // no picture needed
inline const QString DOWNLOAD_NO_IMAGE = QStringLiteral("暂不配图"); // no picture for now
inline const QString DOWNLOAD_SUCCEEDED = QStringLiteral("下载成功");
inline const QString DOWNLOAD_FAILED = QStringLiteral("下载失败");
inline const QString DOWNLOAD_STOPPED = QStringLiteral("已停止");
// The reason of a row whose category or name could not be a file name.
inline const QString DOWNLOAD_UNSAFE_NAME = QStringLiteral("名称不安全");

// One row of a download number, as the run keeps it.
struct DownloadRow
{
    QString category;
    QString name;
    QString path;        // empty when the category or name could not be a file name
    QString md5;
    QString status;
    QString reason;      // why its last failure happened: "HTTP 404", "超时"
    bool wanted = false; // its picture is fetched: a 32-character key and a path
    bool pending = false;
    int attempt = 0;     // tries that have failed
    int requestId = 0;   // id of its current download, 0 when none
    quint64 ticket = 0;  // that download, waiting in the client's queue or on the wire
};

// The batch download without any widget: asks the site what belongs to a
// download number, fetches its spreadsheet, makes one folder per category and
// downloads every picture into it. Transfers that fail on the way are tried
// again; a picture host that keeps failing is given up for the rest of the
// run; every row that is fetched ends as succeeded, failed or stopped. The
// download page and the command line both drive it.
//
// The row cursor of the download walk is the dynamic property "index".
class DownloadRun : public QObject
{
    Q_OBJECT

public:
    struct Counters
    {
        int wanted = 0;    // rows whose picture is fetched
        int succeeded = 0;
        int failed = 0;    // fetched rows that failed, and rows that could not be placed
        int notNeeded = 0; // rows without a picture to fetch
        int stopped = 0;
        int finishedWanted = 0;
    };

    DownloadRun(Api *api, OSSApi *ossApi, QObject *parent = nullptr);
    ~DownloadRun() override;

    // A category, picture name or number may become one component of a local
    // path only when it cannot reach outside the folder it is placed in.
    static bool isSafePathComponent(const QString &component);
    // Why a download folder will not do, or an empty text when it will.
    static QString folderProblem(const QString &folder);

    // Asks the site for the number. Returns why the folder will not do (and
    // sends nothing), or an empty text. Ignored while a run is in progress.
    QString start(const QString &no, const QString &folder);
    // The folder the site's answer is placed in; the page follows its field,
    // which may be edited until the answer arrives.
    void setFolder(const QString &folder) { this->folder = folder; }
    void stop();
    // Fetches again the pictures that failed or were stopped, and a spreadsheet
    // that could not be fetched, without asking the site for the number again.
    void retryFailed();

    bool isRunning() const { return running; }
    // The number of the latest start.
    QString number() const { return requestedNo; }
    bool isWaitingForNumber() const { return waitingForNumber; }
    bool wasStopped() const { return stoppedByMember; }
    bool hasRetryable() const;
    Counters counters() const { return counts; }
    qint64 elapsedMs() const;
    // The one line that sums the run up, once it is over.
    QString summary() const;
    // What went wrong with the spreadsheet, or an empty text.
    QString spreadsheetProblem() const;

    const QList<DownloadRow> &rows() const { return table; }
    // One row per picture under a header row: category, name, path, MD5,
    // status, reason.
    QList<QStringList> resultRows() const;

    void setPolicy(const RunPolicy &policy) { this->policy = policy; }

Q_SIGNALS:
    void logLine(const QString &line);
    // A line about the run as a whole: a service given up on, the spreadsheet.
    void notice(const QString &line);
    // The site's answer came but the folder no longer does.
    void folderRefused(const QString &message);
    void rowsReady();
    void rowChanged(int row);
    void progressChanged();
    void runningChanged(bool running);
    void finished();

public Q_SLOTS:
    void successDownload(const QString &no, const QMap<QString, QString> &data);
    void failDownload(const QString &no, const TransferOutcome &outcome);
    void finishDownload(bool success, int id, const TransferOutcome &outcome);
    void finishExcel(bool success, const QString &targetPath, const TransferOutcome &outcome);

private:
    enum class Sheet { None, Pending, Fetched, Failed, Unplaceable };

    void buildRows(const QMap<QString, QString> &data);
    void downloadNext();
    void request(int row);
    bool retryLater(int row, const TransferOutcome &outcome);
    void giveUp();
    void fetchSpreadsheet();
    void finishRow(int row, const QString &status, const QString &reason);
    void cancelRow(DownloadRow &row);
    void checkDone();
    void endRun(const QString &failure = QString());

    Api *api;
    OSSApi *ossApi;
    RunPolicy policy;
    ServiceHealth pictureHost;

    QList<DownloadRow> table;
    QHash<int, int> rowOfRequest;
    int lastRequestId = 0;
    Counters counts;
    QString folder;
    QString requestedNo;
    quint64 numberTicket = 0;
    bool waitingForNumber = false;

    Sheet sheet = Sheet::None;
    QString sheetUri;
    QString sheetPath;
    QString sheetReason;
    quint64 sheetTicket = 0;

    quint64 generation = 0;
    bool running = false;
    bool stoppedByMember = false;
    bool settling = false;
    QString failureText; // a run that ended before it had rows: why
    QElapsedTimer clock;
    qint64 earlierMs = 0;
};
