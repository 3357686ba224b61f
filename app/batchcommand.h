#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class Api;
class DownloadRun;
class OSSApi;
class Terminal;
class UploadRun;
struct TransferOutcome;

// One command of the command line: logs in, drives an upload or download run
// on the same engine the pages use, and writes what happens to the terminal:
// a line per finished picture, the progress, the site's messages in the words
// of the window's message boxes, and the summary last. done() follows, on the
// event loop, with the exit code (app/exitcode.h) once everything is over.
class BatchCommand : public QObject
{
    Q_OBJECT

public:
    explicit BatchCommand(Terminal *terminal, QObject *parent = nullptr);
    ~BatchCommand() override;

    // Logs in and, on success, remembers the account, as the login page does.
    void login(const QString &username, const QString &password);
    // Log in with the first remembered account, then run.
    void upload(const QString &folder);
    void download(const QString &no, const QString &folder);

    // Ctrl+C: stops the run as the page's stop button does.
    void interrupt();

Q_SIGNALS:
    void done(int exitCode);

private:
    enum class Job { Login, Upload, Download };
    enum class Phase { Idle, LoggingIn, Running, Over };

    bool loginWithRememberedAccount();
    void siteMessage(const QString &text);
    void loginSucceeded(const QString &username);
    void loginFailed(const TransferOutcome &outcome);
    void numberFailed(const TransferOutcome &outcome);
    void stopForNewVersion();

    void pictureFinished(int id);
    void rowsReady();
    void rowChanged(int row);
    void showProgress();
    void runFinished();

    int exitCode() const;
    void usageError(const QString &message);
    void finish();

    Terminal *terminal;
    Api *api;
    OSSApi *ossApi;
    UploadRun *uploadRun = nullptr;
    DownloadRun *downloadRun = nullptr;

    Job job = Job::Login;
    Phase phase = Phase::Idle;
    QString folder;
    QString number;

    QSet<QString> told;           // the site's messages written so far, each once
    int siteMessages = 0;         // error signals of the site client so far
    int siteMessagesAtRequest = 0;
    QList<bool> rowPrinted;

    // What the exit code is made of.
    bool usageProblem = false;
    bool noAccount = false;
    bool loginRefused = false;    // no such account, wrong password
    bool tokenRefused = false;    // the site no longer knows the login
    bool versionRefused = false;  // the site wants a newer tool
    bool requestFailed = false;   // the login or the number query failed otherwise
    bool interrupted = false;
};
