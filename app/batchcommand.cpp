#include "app/batchcommand.h"

#include "api/api.h"
#include "app/exitcode.h"
#include "app/terminal.h"
#include "base/transferoutcome.h"
#include "download/downloadrun.h"
#include "storage/ossapi.h"
#include "store/user.h"
#include "upload/uploadrun.h"

#include <QFileInfo>
#include <QStringList>

namespace {

// The words of the window's message boxes (app/uicontroller.cpp).
const QString SERVER_ERROR = QStringLiteral("网络连接错误或服务器异常");
const QString VERSION_ERROR = QStringLiteral("系统已经升级，请下载最新版本");
const QString TOKEN_ERROR = QStringLiteral("登陆超时");
const QString NO_SUCH_ACCOUNT = QStringLiteral("账号不存在");
const QString WRONG_PASSWORD = QStringLiteral("密码不正确");
const QString NO_SUCH_NUMBER = QStringLiteral("下载编号不存在");
const QString NUMBER_EXPIRED = QStringLiteral("下载编号失效");

const QString NO_ACCOUNT = QStringLiteral("没有记住的账号，请先运行：zamtu-batch login 用户名");
const QString NO_UPLOAD_FOLDER = QStringLiteral("上传目录不存在：");
const QString NO_DOWNLOAD_FOLDER = QStringLiteral("下载目录不存在：");
const QString LOGIN_FAILED = QStringLiteral("登录失败");
const QString NUMBER_FAILED = QStringLiteral("查询下载编号失败");
const QString LOGGED_IN = QStringLiteral("登录成功：");
const QString STOPPED = QStringLiteral("已停止");

const QString WALKING = QStringLiteral("正在查找图片...");
const QString WAITING_FOR_NUMBER = QStringLiteral("正在查询下载编号...");
const QString FINISHED_OF = QStringLiteral("已完成 %1/%2");


// One field of a result line: a tab or line break inside a name would break
// the line apart.
QString field(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    escaped.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    escaped.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return escaped;
}

QString resultLine(const QString &status, const QString &what, const QString &reason)
{
    QString line = field(status) + QLatin1Char('\t') + field(what);
    if (!reason.isEmpty())
        line += QLatin1Char('\t') + field(reason);
    return line;
}

} // namespace

BatchCommand::BatchCommand(Terminal *terminal, QObject *parent)
    : QObject(parent)
    , terminal(terminal)
    , api(new Api(this))
    , ossApi(new OSSApi(this))
{
    connect(api, &Api::serverError, this, [this] { siteMessage(SERVER_ERROR); });
    connect(api, &Api::versionError, this, [this] {
        versionRefused = true;
        siteMessage(VERSION_ERROR);
        // After the reply that brought it has been dealt with by everyone.
        QMetaObject::invokeMethod(this, &BatchCommand::stopForNewVersion, Qt::QueuedConnection);
    });
    connect(api, &Api::tokenError, this, [this] {
        tokenRefused = true;
        siteMessage(TOKEN_ERROR);
    });
    connect(api, &Api::notExistsAccount, this, [this] {
        loginRefused = loginRefused || phase == Phase::LoggingIn;
        siteMessage(NO_SUCH_ACCOUNT);
    });
    connect(api, &Api::notMatchPassword, this, [this] {
        loginRefused = loginRefused || phase == Phase::LoggingIn;
        siteMessage(WRONG_PASSWORD);
    });
    connect(api, &Api::notExistsTicket, this, [this] { siteMessage(NO_SUCH_NUMBER); });
    connect(api, &Api::ticketTimeout, this, [this] { siteMessage(NUMBER_EXPIRED); });
    connect(api, &Api::successLogin, this, &BatchCommand::loginSucceeded);
    connect(api, &Api::failLogin, this,
            [this](const QString &, const TransferOutcome &outcome) { loginFailed(outcome); });
    // Made before any run, so that this comes before the run's own handling,
    // which ends the run.
    connect(api, &Api::failDownload, this,
            [this](const QString &, const TransferOutcome &outcome) { numberFailed(outcome); });
}

BatchCommand::~BatchCommand()
{
    // The runs call off their requests through the clients: they go first.
    delete uploadRun;
    delete downloadRun;
    delete api;
    delete ossApi;
}

void BatchCommand::login(const QString &username, const QString &password)
{
    job = Job::Login;
    phase = Phase::LoggingIn;
    siteMessagesAtRequest = siteMessages;
    api->login(username, password);
}

void BatchCommand::upload(const QString &folder)
{
    job = Job::Upload;
    this->folder = folder;
    if (!QFileInfo(folder).isDir()) {
        usageError(NO_UPLOAD_FOLDER + folder);
        return;
    }
    uploadRun = new UploadRun(api, ossApi, this);
    connect(uploadRun, &UploadRun::pictureFinished, this, &BatchCommand::pictureFinished);
    connect(uploadRun, &UploadRun::notice, terminal, &Terminal::printMessage);
    connect(uploadRun, &UploadRun::progressChanged, this, &BatchCommand::showProgress);
    connect(uploadRun, &UploadRun::finished, this, &BatchCommand::runFinished);
    loginWithRememberedAccount();
}

void BatchCommand::download(const QString &no, const QString &folder)
{
    job = Job::Download;
    number = no;
    this->folder = folder;
    if (!DownloadRun::folderProblem(folder).isEmpty()) {
        usageError(NO_DOWNLOAD_FOLDER + folder);
        return;
    }
    downloadRun = new DownloadRun(api, ossApi, this);
    connect(downloadRun, &DownloadRun::rowsReady, this, &BatchCommand::rowsReady);
    connect(downloadRun, &DownloadRun::rowChanged, this, &BatchCommand::rowChanged);
    connect(downloadRun, &DownloadRun::notice, terminal, &Terminal::printMessage);
    connect(downloadRun, &DownloadRun::folderRefused, this, [this](const QString &message) {
        usageProblem = true;
        terminal->printMessage(message);
    });
    connect(downloadRun, &DownloadRun::progressChanged, this, &BatchCommand::showProgress);
    connect(downloadRun, &DownloadRun::finished, this, &BatchCommand::runFinished);
    loginWithRememberedAccount();
}

void BatchCommand::interrupt()
{
    if (phase == Phase::Over)
        return;
    interrupted = true;
    const bool uploading = uploadRun && uploadRun->isRunning();
    const bool downloading = downloadRun && downloadRun->isRunning();
    if (uploading || downloading) {
        // The run ends at once and reports it: runFinished() follows.
        if (uploading)
            uploadRun->stop();
        if (downloading)
            downloadRun->stop();
        return;
    }
    terminal->printMessage(STOPPED);
    finish();
}

bool BatchCommand::loginWithRememberedAccount()
{
    const QList<User> users = User::selectAll();
    if (users.isEmpty()) {
        noAccount = true;
        terminal->printMessage(NO_ACCOUNT);
        finish();
        return false;
    }
    const User &user = users.first();
    phase = Phase::LoggingIn;
    siteMessagesAtRequest = siteMessages;
    api->loginWithMd5(user.username, user.password);
    return true;
}

void BatchCommand::siteMessage(const QString &text)
{
    ++siteMessages;
    if (told.contains(text))
        return;
    told.insert(text);
    terminal->printMessage(text);
}

void BatchCommand::loginSucceeded(const QString &username)
{
    if (phase != Phase::LoggingIn)
        return;
    phase = Phase::Running;
    switch (job) {
    case Job::Login:
        // The client remembers the account once this returns; done() waits
        // for the event loop, so that has happened before the program ends.
        terminal->printResult(LOGGED_IN + username);
        finish();
        break;
    case Job::Upload:
        // The folder may have gone while the login was under way.
        if (QFileInfo(folder).isDir())
            uploadRun->start(folder);
        else
            usageError(NO_UPLOAD_FOLDER + folder);
        break;
    case Job::Download: {
        siteMessagesAtRequest = siteMessages;
        const QString problem = downloadRun->start(number, folder);
        if (!problem.isEmpty())
            usageError(NO_DOWNLOAD_FOLDER + folder);
        break;
    }
    }
}

void BatchCommand::loginFailed(const TransferOutcome &outcome)
{
    if (phase != Phase::LoggingIn || outcome.isCancelled())
        return;
    requestFailed = true;
    // A failure the site explained has been told in its words already.
    if (siteMessages == siteMessagesAtRequest)
        terminal->printMessage(withReason(LOGIN_FAILED, outcome.reason));
    finish();
}

void BatchCommand::numberFailed(const TransferOutcome &outcome)
{
    if (!downloadRun || !downloadRun->isWaitingForNumber() || outcome.isCancelled())
        return;
    requestFailed = true;
    if (siteMessages == siteMessagesAtRequest)
        terminal->printMessage(withReason(NUMBER_FAILED, outcome.reason));
}

void BatchCommand::stopForNewVersion()
{
    if (uploadRun)
        uploadRun->stop();
    if (downloadRun)
        downloadRun->stop();
}

void BatchCommand::pictureFinished(int id)
{
    if (const UploadPicture *picture = uploadRun->picture(id))
        terminal->printResult(resultLine(picture->status, picture->path, picture->reason));
}

void BatchCommand::rowsReady()
{
    const QList<DownloadRow> &rows = downloadRun->rows();
    rowPrinted = QList<bool>(rows.size(), false);
    // Rows whose names cannot become a path fail at once, without rowChanged.
    for (int r = 0; r < rows.size(); ++r) {
        const DownloadRow &row = rows.at(r);
        if (row.status == DOWNLOAD_FAILED && row.reason == DOWNLOAD_UNSAFE_NAME) {
            rowPrinted[r] = true;
            terminal->printResult(resultLine(row.status, row.category + QLatin1Char('/') + row.name, row.reason));
        }
    }
}

void BatchCommand::rowChanged(int r)
{
    const QList<DownloadRow> &rows = downloadRun->rows();
    if (r < 0 || r >= rows.size() || r >= rowPrinted.size() || rowPrinted.at(r))
        return;
    const DownloadRow &row = rows.at(r);
    if (row.pending
        || (row.status != DOWNLOAD_SUCCEEDED && row.status != DOWNLOAD_FAILED && row.status != DOWNLOAD_STOPPED))
        return;
    rowPrinted[r] = true;
    terminal->printResult(resultLine(row.status, row.category + QLatin1Char('/') + row.name, row.reason));
}

void BatchCommand::showProgress()
{
    if (uploadRun) {
        const UploadRun::Counters counts = uploadRun->counters();
        terminal->setProgress(uploadRun->isWalking() ? WALKING
                                                     : FINISHED_OF.arg(counts.finished()).arg(counts.total));
    } else if (downloadRun) {
        // A run that ended before it had rows keeps what it was waiting for.
        if (!downloadRun->isRunning() && downloadRun->rows().isEmpty())
            return;
        const DownloadRun::Counters counts = downloadRun->counters();
        terminal->setProgress(downloadRun->isWaitingForNumber()
                                  ? WAITING_FOR_NUMBER
                                  : FINISHED_OF.arg(counts.finishedWanted).arg(counts.wanted));
    }
}

void BatchCommand::runFinished()
{
    if (phase == Phase::Over)
        return;
    showProgress();
    terminal->endProgress();
    terminal->printResult(uploadRun ? uploadRun->summary() : downloadRun->summary());
    finish();
}

int BatchCommand::exitCode() const
{
    if (usageProblem)
        return EXIT_USAGE;
    if (versionRefused)
        return EXIT_REFUSED;
    if (noAccount || loginRefused || tokenRefused)
        return EXIT_NOT_LOGGED_IN;
    if (requestFailed)
        return EXIT_REFUSED;
    if (interrupted)
        return EXIT_FAILURES;
    if (uploadRun) {
        const UploadRun::Counters counts = uploadRun->counters();
        if (counts.error + counts.stopped > 0)
            return EXIT_FAILURES;
    }
    if (downloadRun) {
        const DownloadRun::Counters counts = downloadRun->counters();
        if (counts.failed + counts.stopped > 0 || !downloadRun->spreadsheetProblem().isEmpty())
            return EXIT_FAILURES;
    }
    return EXIT_OK;
}

void BatchCommand::usageError(const QString &message)
{
    usageProblem = true;
    terminal->printMessage(message);
    finish();
}

void BatchCommand::finish()
{
    if (phase == Phase::Over)
        return;
    phase = Phase::Over;
    terminal->endProgress();
    const int code = exitCode();
    QMetaObject::invokeMethod(this, [this, code] { Q_EMIT done(code); }, Qt::QueuedConnection);
}
