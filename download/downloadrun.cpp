#include "download/downloadrun.h"

#include "api/api.h"
#include "base/debuglog.h"
#include "base/transferoutcome.h"
#include "storage/ossapi.h"

#include <QDir>
#include <QFileInfo>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QTimer>

#include <utility>

namespace {

const char INDEX[] = "index";
const int MD5_LENGTH = 32;
const int MS_PER_SECOND = 1000;

const QString MD5_MIAN = QStringLiteral("MIAN");
const QString MD5_NO_IMAGE = QStringLiteral("NO_IMAGE");
const QString PICTURE_SUFFIX = QStringLiteral(".jpg");
const QString SPREADSHEET_SUFFIX = QStringLiteral(".xls");

} // namespace

DownloadRun::DownloadRun(Api *api, OSSApi *ossApi, QObject *parent)
    : QObject(parent)
    , api(api)
    , ossApi(ossApi)
    , pictureHost(QStringLiteral("图片服务器"))
{
    setProperty(INDEX, 0);
    connect(api, &Api::successDownload, this, &DownloadRun::successDownload);
    connect(api, &Api::failDownload, this, &DownloadRun::failDownload);
    connect(api, &Api::finishExcel, this, &DownloadRun::finishExcel);
    connect(ossApi, &OSSApi::finishDownload, this, &DownloadRun::finishDownload);
}

DownloadRun::~DownloadRun()
{
    running = false;
    const QSignalBlocker quiet(this);
    api->cancel(numberTicket);
    api->cancel(sheetTicket);
    for (DownloadRow &row : table)
        cancelRow(row);
}

bool DownloadRun::isSafePathComponent(const QString &component)
{
    if (component == QLatin1String(".") || component == QLatin1String(".."))
        return false;
    // Separators of either platform, drive letters and alternate data streams
    // (":"), and NUL, which ends the name the file system sees.
    for (const QChar c : component) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.isNull())
            return false;
    }
    return true;
}

QString DownloadRun::folderProblem(const QString &folder)
{
    // Paths are built as folder + separator + ...: an empty folder would put
    // them at the root of the file system.
    if (folder.isEmpty())
        return QStringLiteral("请先选择下载目录");
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("下载目录不存在，请重新选择");
    return {};
}

QString DownloadRun::start(const QString &no, const QString &folder)
{
    if (running)
        return {};
    const QString problem = folderProblem(folder);
    if (!problem.isEmpty())
        return problem;

    ++generation;
    table.clear();
    rowOfRequest.clear();
    counts = {};
    sheet = Sheet::None;
    sheetReason.clear();
    pictureHost.reset();
    stoppedByMember = false;
    failureText.clear();
    earlierMs = 0;
    this->folder = folder;
    requestedNo = no;
    waitingForNumber = true;
    running = true;
    clock.start();
    setProperty(INDEX, 0);
    Q_EMIT rowsReady();
    Q_EMIT runningChanged(true);
    Q_EMIT progressChanged();
    numberTicket = api->download(no);
    return {};
}

void DownloadRun::stop()
{
    if (!running)
        return;
    ++generation;
    stoppedByMember = true;
    {
        const QScopedValueRollback<bool> settle(settling, true);
        if (waitingForNumber) {
            waitingForNumber = false;
            api->cancel(std::exchange(numberTicket, 0));
        }
        if (sheet == Sheet::Pending) {
            sheet = Sheet::Failed;
            sheetReason = DOWNLOAD_STOPPED;
            api->cancel(std::exchange(sheetTicket, 0));
        }
        for (int r = 0; r < table.size(); ++r) {
            if (!table.at(r).pending)
                continue;
            // Final first: the reply of a download called off comes back at once.
            DownloadRow called = table.at(r);
            finishRow(r, DOWNLOAD_STOPPED, QString());
            cancelRow(called);
        }
    }
    endRun();
}

void DownloadRun::retryFailed()
{
    if (!hasRetryable())
        return;
    ++generation;
    pictureHost.reset();
    stoppedByMember = false;
    earlierMs = elapsedMs();
    running = true;
    clock.start();
    Q_EMIT runningChanged(true);
    {
        const QScopedValueRollback<bool> settle(settling, true);
        if (sheet == Sheet::Failed)
            fetchSpreadsheet();
        for (int r = 0; r < table.size(); ++r) {
            DownloadRow &row = table[r];
            if (!row.wanted || (row.status != DOWNLOAD_FAILED && row.status != DOWNLOAD_STOPPED))
                continue;
            --(row.status == DOWNLOAD_FAILED ? counts.failed : counts.stopped);
            --counts.finishedWanted;
            row.status = DOWNLOAD_READY;
            row.reason.clear();
            row.pending = true;
            row.attempt = 0;
            Q_EMIT rowChanged(r);
            request(r);
        }
    }
    Q_EMIT progressChanged();
    checkDone();
}

bool DownloadRun::hasRetryable() const
{
    if (running)
        return false;
    if (sheet == Sheet::Failed)
        return true;
    for (const DownloadRow &row : table) {
        if (row.wanted && (row.status == DOWNLOAD_FAILED || row.status == DOWNLOAD_STOPPED))
            return true;
    }
    return false;
}

qint64 DownloadRun::elapsedMs() const
{
    return running ? earlierMs + clock.elapsed() : earlierMs;
}

QString DownloadRun::summary() const
{
    if (!failureText.isEmpty())
        return failureText;
    const QString seconds = QString::number(double(elapsedMs()) / MS_PER_SECOND, 'f', 1);
    QString line = stoppedByMember
        ? QStringLiteral("下载已停止：成功 %1，失败 %2，无需下载 %3，已停止 %4，用时 %5 秒")
              .arg(counts.succeeded).arg(counts.failed).arg(counts.notNeeded).arg(counts.stopped).arg(seconds)
        : QStringLiteral("下载完毕：成功 %1，失败 %2，无需下载 %3，用时 %4 秒")
              .arg(counts.succeeded).arg(counts.failed).arg(counts.notNeeded).arg(seconds);
    const QString problem = spreadsheetProblem();
    if (!problem.isEmpty())
        line += QStringLiteral("；") + problem;
    return line;
}

QString DownloadRun::spreadsheetProblem() const
{
    if (sheet != Sheet::Failed && sheet != Sheet::Unplaceable)
        return {};
    return withReason(QStringLiteral("表格下载失败"), sheetReason);
}

QList<QStringList> DownloadRun::resultRows() const
{
    QList<QStringList> rows{{QStringLiteral("分类"), QStringLiteral("菜名"), QStringLiteral("存储路径"),
                             QStringLiteral("MD5"), QStringLiteral("状态"), QStringLiteral("原因")}};
    for (const DownloadRow &row : table)
        rows.append({row.category, row.name, row.path, row.md5, row.status, row.reason});
    return rows;
}

void DownloadRun::successDownload(const QString &no, const QMap<QString, QString> &data)
{
    // An answer this run no longer waits for: overtaken, or called off.
    if (!waitingForNumber || no != requestedNo) {
        debugQuoted("Stale download number:", no);
        return;
    }
    waitingForNumber = false;
    numberTicket = 0;

    // The folder may have changed since start.
    const QString problem = folderProblem(folder);
    if (!problem.isEmpty()) {
        Q_EMIT folderRefused(problem);
        endRun(problem);
        return;
    }

    {
        const QScopedValueRollback<bool> settle(settling, true);
        const QString uri = data.value(QStringLiteral("uri"));
        if (!uri.isEmpty()) {
            sheetUri = uri;
            if (isSafePathComponent(no)) {
                sheetPath = folder + QDir::separator() + no + SPREADSHEET_SUFFIX;
                fetchSpreadsheet();
            } else {
                debugQuoted("Unsafe spreadsheet name:", no);
                sheet = Sheet::Unplaceable;
                sheetReason = DOWNLOAD_UNSAFE_NAME;
                Q_EMIT notice(spreadsheetProblem());
            }
        }
        buildRows(data);
        Q_EMIT rowsReady();
        setProperty(INDEX, 0);
        downloadNext();
    }
    Q_EMIT progressChanged();
    checkDone();
}

void DownloadRun::buildRows(const QMap<QString, QString> &data)
{
    const QString sep = QDir::separator();
    for (int i = 0;; ++i) {
        const QString suffix = QString::number(i);
        const QString category = data.value(QStringLiteral("category") + suffix);
        if (category.isEmpty())
            break;
        DownloadRow row;
        row.category = category;
        row.name = data.value(QStringLiteral("name") + suffix);
        row.md5 = data.value(QStringLiteral("md5") + suffix);
        row.status = row.md5 == MD5_MIAN ? DOWNLOAD_MIAN : row.md5 == MD5_NO_IMAGE ? DOWNLOAD_NO_IMAGE : DOWNLOAD_READY;

        if (!isSafePathComponent(row.category) || !isSafePathComponent(row.name)) {
            // Nothing is created or written for this row: it has no path, so the
            // walk skips it. A marker row keeps its marker, the others fail.
            debugQuoted("Unsafe picture path:", row.category + QLatin1Char('|') + row.name);
            if (row.status == DOWNLOAD_READY) {
                row.status = DOWNLOAD_FAILED;
                row.reason = DOWNLOAD_UNSAFE_NAME;
                ++counts.failed;
            } else {
                ++counts.notNeeded;
            }
            table.append(row);
            continue;
        }

        const QString dir = folder + sep + row.category;
        if (!QFileInfo(dir).isDir())
            QDir().mkpath(dir);
        row.path = dir + sep + row.name + PICTURE_SUFFIX;
        row.wanted = row.md5.size() == MD5_LENGTH;
        row.pending = row.wanted;
        ++(row.wanted ? counts.wanted : counts.notNeeded);
        table.append(row);
    }
}

void DownloadRun::downloadNext()
{
    for (;;) {
        const int i = property(INDEX).toInt();
        setProperty(INDEX, i + 1);
        if (i >= table.size())
            return;
        if (table.at(i).wanted)
            request(i);
    }
}

void DownloadRun::request(int r)
{
    DownloadRow &row = table[r];
    if (pictureHost.isDown()) {
        finishRow(r, DOWNLOAD_FAILED, pictureHost.downReason());
        return;
    }
    row.requestId = ++lastRequestId;
    rowOfRequest.insert(row.requestId, r);
    row.ticket = ossApi->download(row.requestId, row.md5, row.path);
}

bool DownloadRun::retryLater(int r, const TransferOutcome &outcome)
{
    DownloadRow &row = table[r];
    const int delay = policy.retryDelay(row.attempt + 1);
    if (delay < 0)
        return false;
    ++row.attempt;
    Q_EMIT logLine(withReason(QStringLiteral("第%1次重试：").arg(row.attempt) + row.category + QLatin1Char('/')
                                  + row.name,
                              outcome.reason));
    QTimer::singleShot(delay, this, [this, r, turn = generation] {
        if (turn == generation && r < table.size() && table.at(r).pending && table.at(r).ticket == 0)
            request(r);
    });
    return true;
}

void DownloadRun::giveUp()
{
    Q_EMIT notice(pictureHost.downLine());
    {
        const QScopedValueRollback<bool> settle(settling, true);
        for (int r = 0; r < table.size(); ++r) {
            if (!table.at(r).pending)
                continue;
            DownloadRow called = table.at(r);
            finishRow(r, DOWNLOAD_FAILED, pictureHost.downReason());
            cancelRow(called);
        }
    }
    checkDone();
}

void DownloadRun::failDownload(const QString &no, const TransferOutcome &outcome)
{
    if (!waitingForNumber || no != requestedNo || outcome.isCancelled())
        return;
    waitingForNumber = false;
    numberTicket = 0;
    endRun(withReason(QStringLiteral("查询下载编号失败"), outcome.reason));
}

void DownloadRun::finishDownload(bool success, int id, const TransferOutcome &outcome)
{
    const auto found = rowOfRequest.constFind(id);
    if (found == rowOfRequest.cend()) {
        debugQuoted("Stale download result:", QString::number(id));
        return;
    }
    const int r = *found;
    rowOfRequest.erase(found);
    if (!running || outcome.isCancelled() || r >= table.size() || table.at(r).requestId != id
        || !table.at(r).pending)
        return;
    table[r].ticket = 0;
    if (pictureHost.record(outcome, policy.serviceDownFailures))
        giveUp();
    if (!table.at(r).pending)
        return;
    if (success)
        finishRow(r, DOWNLOAD_SUCCEEDED, QString());
    else if (!outcome.isTransient() || !retryLater(r, outcome))
        finishRow(r, DOWNLOAD_FAILED, outcome.reason);
}

void DownloadRun::fetchSpreadsheet()
{
    sheet = Sheet::Pending;
    sheetReason.clear();
    sheetTicket = api->excel(sheetUri, sheetPath);
}

void DownloadRun::finishExcel(bool success, const QString &targetPath, const TransferOutcome &outcome)
{
    if (!running || sheet != Sheet::Pending || targetPath != sheetPath || outcome.isCancelled())
        return;
    sheetTicket = 0;
    if (success) {
        sheet = Sheet::Fetched;
    } else {
        sheet = Sheet::Failed;
        sheetReason = outcome.reason;
        Q_EMIT notice(spreadsheetProblem());
    }
    Q_EMIT progressChanged();
    checkDone();
}

void DownloadRun::finishRow(int r, const QString &status, const QString &reason)
{
    DownloadRow &row = table[r];
    row.pending = false;
    row.ticket = 0;
    row.status = status;
    row.reason = reason;
    ++counts.finishedWanted;
    ++(status == DOWNLOAD_SUCCEEDED ? counts.succeeded : status == DOWNLOAD_STOPPED ? counts.stopped : counts.failed);
    Q_EMIT rowChanged(r);
    Q_EMIT progressChanged();
    checkDone();
}

void DownloadRun::cancelRow(DownloadRow &row)
{
    if (row.ticket != 0)
        ossApi->cancel(std::exchange(row.ticket, 0));
}

void DownloadRun::checkDone()
{
    if (running && !settling && !waitingForNumber && counts.finishedWanted == counts.wanted
        && sheet != Sheet::Pending)
        endRun();
}

void DownloadRun::endRun(const QString &failure)
{
    failureText = failure;
    earlierMs = elapsedMs();
    running = false;
    Q_EMIT progressChanged();
    Q_EMIT runningChanged(false);
    Q_EMIT finished();
}
