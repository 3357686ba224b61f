#pragma once

#include "base/transferoutcome.h"

#include "base/runpolicy.h"
#include "base/servicehealth.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <map>

class Api;
class ImageReader;
class OSSApi;

// One picture of an upload run, as the run keeps it.
struct UploadPicture
{
    enum class Step { Reading, Probing, Sending, Registering, Done };

    int id = 0;
    QString name;
    QString path;
    QString md5;
    QString status;
    QString reason;        // why its last failure happened: "HTTP 403", "超时"
    Step step = Step::Reading;
    bool stored = false;   // the bucket holds it: a retry only registers it again
    int attempt = 0;       // tries of the current step that have failed
    quint64 ticket = 0;    // its request, waiting in a client's queue or on the wire
};

// The batch upload without any widget: walks a folder a slice at a time,
// queues the pictures that meet the site's rules and takes each through MD5,
// existence probe, storage upload and registration with the site. Transfers
// that fail on the way are tried again; a service that keeps failing is given
// up for the rest of the run; every picture ends in a final status. The
// upload page and the command line both drive it and show what it reports.
//
// One upload run per pair of clients: replies are matched by picture id.
class UploadRun : public QObject
{
    Q_OBJECT

public:
    struct Counters
    {
        int total = 0;   // pictures selected
        int exists = 0;
        int error = 0;
        int success = 0;
        int stopped = 0;
        int finished() const { return exists + error + success + stopped; }
    };

    UploadRun(Api *api, OSSApi *ossApi, QObject *parent = nullptr);
    ~UploadRun() override;

    // A new run over folder (the working folder when empty): the queue is
    // emptied and ids start at 1. Ignored while a run is in progress.
    void start(const QString &folder);
    // Ends the run at once: the walk stops, requests are called off, and every
    // picture that was not final ends as stopped.
    void stop();
    // Takes the pictures that failed or were stopped through the pipeline
    // again, without a new walk; one whose upload succeeded is only
    // registered again.
    void retryFailed();

    bool isRunning() const { return running; }
    bool isWalking() const { return walking; }
    bool wasStopped() const { return stoppedByMember; }
    bool hasRetryable() const { return !running && counts.error + counts.stopped > 0; }
    Counters counters() const { return counts; }
    qint64 elapsedMs() const;
    // The one line that sums the run up, once it is over.
    QString summary() const;

    const UploadPicture *picture(int id) const;
    // One row per picture, in id order, under a header row: id, name, path,
    // MD5, status, reason.
    QList<QStringList> resultRows() const;

    void setPolicy(const RunPolicy &policy) { this->policy = policy; }

Q_SIGNALS:
    void logLine(const QString &line);
    // A line about the run as a whole, such as a service given up on.
    void notice(const QString &line);
    void pictureFinished(int id);
    void progressChanged();
    void runningChanged(bool running);
    void finished();

public Q_SLOTS:
    void readImage(int total);
    void finishRead();
    void finishExists(bool exists, int id, const QString &md5, const TransferOutcome &outcome);
    void finishUpload(bool success, int id, const QString &md5, const TransferOutcome &outcome);
    void successOss(int id, const QString &md5);
    void failOss(int id, const QString &md5, const TransferOutcome &outcome);

private:
    using Step = UploadPicture::Step;

    void walkSome();
    void enter(UploadPicture &picture);
    void startStep(UploadPicture &picture, Step step);
    void request(UploadPicture &picture);
    bool retryLater(UploadPicture &picture, const TransferOutcome &outcome);
    // The picture waiting at step for the reply to id, or nullptr.
    UploadPicture *waitingAt(int id, Step step, const TransferOutcome *outcome = nullptr);
    // Counts the outcome for the service; true when the picture has been
    // failed meanwhile because the service is now given up.
    bool recordFor(ServiceHealth &service, const TransferOutcome &outcome, const UploadPicture &picture);
    void giveUp(ServiceHealth &service);
    ServiceHealth &serviceFor(Step step);
    void failAtStep(UploadPicture &picture, const QString &reason);
    void setStatus(UploadPicture &picture, const QString &status);
    void finish(UploadPicture &picture, const QString &status, const QString &line, const QString &reason = {});
    void cancelRequest(UploadPicture &picture);
    void checkDone();
    void endRun();

    Api *api;
    OSSApi *ossApi;
    ImageReader *reader;
    QTimer walkTimer;
    RunPolicy policy;
    ServiceHealth site;
    ServiceHealth bucket;
    ServiceHealth pictureHost;

    std::map<int, UploadPicture> pictures;
    Counters counts;
    quint64 generation = 0; // tells timers of an earlier run or retry from the current one
    bool running = false;
    bool walking = false;
    bool stoppedByMember = false;
    bool settling = false;  // many pictures change at once: the end is checked afterwards
    QElapsedTimer clock;
    qint64 earlierMs = 0;   // time of the earlier parts of this run (before a retry)
};
