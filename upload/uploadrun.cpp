#include "upload/uploadrun.h"

#include "api/api.h"
#include "base/transferoutcome.h"
#include "storage/ossapi.h"
#include "store/imagequeue.h"
#include "store/queuetransaction.h"
#include "upload/filemd5.h"
#include "upload/imagereader.h"

#include <QScopedValueRollback>
#include <QSignalBlocker>

namespace {

// The walk looks at this many entries at a time and gives the event loop a
// turn after at most about this long, so that replies and repaints keep
// flowing while it goes on.
const int WALK_BATCH = 16;
const int WALK_SLICE_MS = 10;
const int MS_PER_SECOND = 1000;

bool isFailure(const QString &status)
{
    return status == STATUS_OSS_FAILED || status == STATUS_REGISTER_FAILED || status == STATUS_READ_FAILED;
}

} // namespace

UploadRun::UploadRun(Api *api, OSSApi *ossApi, QObject *parent)
    : QObject(parent)
    , api(api)
    , ossApi(ossApi)
    , reader(new ImageReader(this))
    , site(QStringLiteral("站点"))
    , bucket(QStringLiteral("存储桶"))
    , pictureHost(QStringLiteral("图片服务器"))
{
    walkTimer.setInterval(0);
    connect(&walkTimer, &QTimer::timeout, this, &UploadRun::walkSome);
    connect(reader, &ImageReader::readImage, this, &UploadRun::readImage);
    connect(reader, &ImageReader::finishRead, this, &UploadRun::finishRead);
    connect(ossApi, &OSSApi::finishExists, this, &UploadRun::finishExists);
    connect(ossApi, &OSSApi::finishUpload, this, &UploadRun::finishUpload);
    connect(api, &Api::successOss, this, &UploadRun::successOss);
    connect(api, &Api::failOss, this, &UploadRun::failOss);
}

UploadRun::~UploadRun()
{
    // Calls off what is still under way without telling anyone: whoever
    // listens may be going away too.
    running = false;
    const QSignalBlocker quiet(this);
    for (auto &[id, picture] : pictures)
        cancelRequest(picture);
}

void UploadRun::start(const QString &folder)
{
    if (running)
        return;
    ++generation;
    pictures.clear();
    counts = {};
    for (ServiceHealth *service : {&site, &bucket, &pictureHost})
        service->reset();
    stoppedByMember = false;
    earlierMs = 0;
    running = true;
    walking = true;
    clock.start();
    Q_EMIT runningChanged(true);
    Q_EMIT progressChanged();
    reader->begin(folder);
    walkTimer.start();
}

void UploadRun::stop()
{
    if (!running)
        return;
    ++generation;
    walkTimer.stop();
    reader->cancel();
    walking = false;
    stoppedByMember = true;
    {
        const QScopedValueRollback<bool> settle(settling, true);
        const QueueTransaction transaction;
        for (auto &[id, picture] : pictures) {
            if (picture.step == Step::Done)
                continue;
            // Final first: the reply of a request called off comes back at once.
            UploadPicture called = picture;
            finish(picture, STATUS_STOPPED, QString());
            cancelRequest(called);
        }
    }
    endRun();
}

void UploadRun::retryFailed()
{
    if (!hasRetryable())
        return;
    ++generation;
    for (ServiceHealth *service : {&site, &bucket, &pictureHost})
        service->reset();
    stoppedByMember = false;
    earlierMs = elapsedMs();
    running = true;
    clock.start();
    Q_EMIT runningChanged(true);
    {
        const QScopedValueRollback<bool> settle(settling, true);
        const QueueTransaction transaction;
        for (auto &[id, picture] : pictures) {
            if (!isFailure(picture.status) && picture.status != STATUS_STOPPED)
                continue;
            if (picture.stored) {
                // In the bucket already: only the registration is missing.
                setStatus(picture, STATUS_OSS_DONE);
                picture.reason.clear();
                Q_EMIT logLine(QStringLiteral("开始上传：") + picture.path);
                startStep(picture, Step::Registering);
            } else if (!picture.md5.isEmpty()) {
                setStatus(picture, STATUS_READY);
                picture.reason.clear();
                Q_EMIT logLine(QStringLiteral("开始上传：") + picture.path);
                startStep(picture, Step::Probing);
            } else {
                setStatus(picture, STATUS_READY);
                enter(picture);
            }
        }
    }
    Q_EMIT progressChanged();
    checkDone();
}

qint64 UploadRun::elapsedMs() const
{
    return running ? earlierMs + clock.elapsed() : earlierMs;
}

QString UploadRun::summary() const
{
    const QString seconds = QString::number(double(elapsedMs()) / MS_PER_SECOND, 'f', 1);
    if (stoppedByMember) {
        return QStringLiteral("上传已停止：总图片 %1，已经存在 %2，上传失败 %3，上传成功 %4，已停止 %5，用时 %6 秒")
            .arg(counts.total).arg(counts.exists).arg(counts.error).arg(counts.success).arg(counts.stopped)
            .arg(seconds);
    }
    return QStringLiteral("上传完毕：总图片 %1，已经存在 %2，上传失败 %3，上传成功 %4，用时 %5 秒")
        .arg(counts.total).arg(counts.exists).arg(counts.error).arg(counts.success).arg(seconds);
}

const UploadPicture *UploadRun::picture(int id) const
{
    const auto found = pictures.find(id);
    return found == pictures.end() ? nullptr : &found->second;
}

QList<QStringList> UploadRun::resultRows() const
{
    QList<QStringList> rows{{QStringLiteral("编号"), QStringLiteral("文件名"), QStringLiteral("路径"),
                             QStringLiteral("MD5"), QStringLiteral("状态"), QStringLiteral("原因")}};
    for (const auto &[id, picture] : pictures)
        rows.append({QString::number(id), picture.name, picture.path, picture.md5, picture.status, picture.reason});
    return rows;
}

void UploadRun::walkSome()
{
    QElapsedTimer slice;
    slice.start();
    const QueueTransaction transaction;
    while (reader->readSome(WALK_BATCH) && slice.elapsed() < WALK_SLICE_MS) {
    }
    if (!reader->isReading())
        walkTimer.stop();
}

void UploadRun::readImage(int total)
{
    UploadPicture &picture = pictures[total];
    if (picture.id == 0) {
        picture.id = total;
        ++counts.total;
    }
    enter(picture);
}

void UploadRun::finishRead()
{
    walking = false;
    Q_EMIT logLine(QStringLiteral("图片读取完毕！"));
    Q_EMIT progressChanged();
    checkDone();
}

void UploadRun::enter(UploadPicture &picture)
{
    picture.reason.clear();
    picture.step = Step::Reading;
    if (picture.path.isEmpty()) {
        const ImageRecord record = findImageById(picture.id);
        if (record.path.isEmpty()) {
            // Without its row the picture has no file to read, send or name.
            finish(picture, STATUS_READ_FAILED, QStringLiteral("找不到图片记录：") + QString::number(picture.id),
                   QStringLiteral("找不到图片记录"));
            return;
        }
        picture.name = record.name;
        picture.path = record.path;
    }
    picture.md5 = fileMd5(picture.path);
    if (picture.md5.isEmpty()) {
        finish(picture, STATUS_READ_FAILED, QStringLiteral("读取失败：") + picture.path,
               QStringLiteral("无法读取文件"));
        return;
    }
    Q_EMIT logLine(QStringLiteral("开始上传：") + picture.path);
    startStep(picture, Step::Probing);
}

void UploadRun::startStep(UploadPicture &picture, Step step)
{
    picture.step = step;
    picture.attempt = 0;
    if (step == Step::Sending && !serviceFor(step).isDown()) {
        Q_EMIT logLine(QStringLiteral("发送图片：") + picture.path);
        setStatus(picture, STATUS_SENDING);
    }
    request(picture);
}

void UploadRun::request(UploadPicture &picture)
{
    ServiceHealth &service = serviceFor(picture.step);
    if (service.isDown()) {
        failAtStep(picture, service.downReason());
        return;
    }
    switch (picture.step) {
    case Step::Probing:
        picture.ticket = ossApi->exists(picture.id, picture.md5);
        break;
    case Step::Sending:
        picture.ticket = ossApi->upload(picture.id, picture.md5, picture.path);
        break;
    case Step::Registering:
        picture.ticket = api->oss(picture.id, picture.md5, picture.name);
        break;
    case Step::Reading:
    case Step::Done:
        break;
    }
}

bool UploadRun::retryLater(UploadPicture &picture, const TransferOutcome &outcome)
{
    const int delay = policy.retryDelay(picture.attempt + 1);
    if (delay < 0)
        return false;
    ++picture.attempt;
    Q_EMIT logLine(withReason(QStringLiteral("第%1次重试：").arg(picture.attempt) + picture.path, outcome.reason));
    QTimer::singleShot(delay, this, [this, id = picture.id, turn = generation] {
        if (turn != generation)
            return;
        const auto found = pictures.find(id);
        // Still waiting: neither given up with its service nor stopped meanwhile.
        if (found != pictures.end() && found->second.step != Step::Done && found->second.ticket == 0)
            request(found->second);
    });
    return true;
}

UploadPicture *UploadRun::waitingAt(int id, Step step, const TransferOutcome *outcome)
{
    if (!running || (outcome && outcome->isCancelled()))
        return nullptr;
    const auto found = pictures.find(id);
    if (found == pictures.end() || found->second.step != step || found->second.ticket == 0)
        return nullptr;
    found->second.ticket = 0;
    return &found->second;
}

bool UploadRun::recordFor(ServiceHealth &service, const TransferOutcome &outcome, const UploadPicture &picture)
{
    if (service.record(outcome, policy.serviceDownFailures))
        giveUp(service);
    return picture.step == Step::Done;
}

void UploadRun::giveUp(ServiceHealth &service)
{
    Q_EMIT notice(service.downLine());
    {
        const QScopedValueRollback<bool> settle(settling, true);
        const QueueTransaction transaction;
        for (auto &[id, picture] : pictures) {
            if (picture.step == Step::Done || picture.step == Step::Reading || &serviceFor(picture.step) != &service)
                continue;
            UploadPicture called = picture;
            failAtStep(picture, service.downReason());
            cancelRequest(called);
        }
    }
    checkDone();
}

ServiceHealth &UploadRun::serviceFor(Step step)
{
    switch (step) {
    case Step::Sending:
        return bucket;
    case Step::Registering:
        return site;
    default:
        return pictureHost;
    }
}

void UploadRun::failAtStep(UploadPicture &picture, const QString &reason)
{
    switch (picture.step) {
    case Step::Probing:
        finish(picture, STATUS_OSS_FAILED, withReason(QStringLiteral("查询失败：") + picture.path, reason), reason);
        break;
    case Step::Sending:
        finish(picture, STATUS_OSS_FAILED, withReason(QStringLiteral("发送失败：") + picture.path, reason), reason);
        break;
    case Step::Registering:
        finish(picture, STATUS_REGISTER_FAILED, withReason(QStringLiteral("登记失败：") + picture.path, reason),
               reason);
        break;
    case Step::Reading:
    case Step::Done:
        break;
    }
}

void UploadRun::finishExists(bool exists, int id, const QString &, const TransferOutcome &outcome)
{
    UploadPicture *picture = waitingAt(id, Step::Probing, &outcome);
    if (!picture || recordFor(pictureHost, outcome, *picture))
        return;
    if (exists) {
        finish(*picture, STATUS_EXISTS, QStringLiteral("图片已存在：") + picture->path);
        return;
    }
    if (outcome.isTransient() && retryLater(*picture, outcome))
        return;
    // A key that is not stored, and any other answer, counts as absence.
    startStep(*picture, Step::Sending);
}

void UploadRun::finishUpload(bool success, int id, const QString &, const TransferOutcome &outcome)
{
    UploadPicture *picture = waitingAt(id, Step::Sending, &outcome);
    if (!picture || recordFor(bucket, outcome, *picture))
        return;
    if (success) {
        picture->stored = true;
        Q_EMIT logLine(QStringLiteral("发送成功：") + picture->path);
        setStatus(*picture, STATUS_OSS_DONE);
        startStep(*picture, Step::Registering);
        return;
    }
    if (outcome.isTransient() && retryLater(*picture, outcome))
        return;
    failAtStep(*picture, outcome.reason);
}

void UploadRun::successOss(int id, const QString &)
{
    UploadPicture *picture = waitingAt(id, Step::Registering);
    if (!picture)
        return;
    site.record(TransferOutcome{}, policy.serviceDownFailures);
    finish(*picture, STATUS_UPLOADED, QStringLiteral("上传成功：") + picture->path);
}

void UploadRun::failOss(int id, const QString &, const TransferOutcome &outcome)
{
    // Never tried again by itself: the site may have recorded it already.
    UploadPicture *picture = waitingAt(id, Step::Registering, &outcome);
    if (!picture || recordFor(site, outcome, *picture))
        return;
    failAtStep(*picture, outcome.reason);
}

void UploadRun::setStatus(UploadPicture &picture, const QString &status)
{
    auto tally = [this](const QString &of) -> int * {
        if (of == STATUS_EXISTS)
            return &counts.exists;
        if (of == STATUS_UPLOADED)
            return &counts.success;
        if (of == STATUS_STOPPED)
            return &counts.stopped;
        return isFailure(of) ? &counts.error : nullptr;
    };
    if (int *before = tally(picture.status))
        --*before;
    if (int *after = tally(status))
        ++*after;
    picture.status = status;
    updateImageStatus(picture.id, status);
}

void UploadRun::finish(UploadPicture &picture, const QString &status, const QString &line, const QString &reason)
{
    picture.step = Step::Done;
    picture.ticket = 0;
    picture.reason = reason;
    setStatus(picture, status);
    if (!line.isEmpty())
        Q_EMIT logLine(line);
    Q_EMIT pictureFinished(picture.id);
    Q_EMIT progressChanged();
    checkDone();
}

void UploadRun::cancelRequest(UploadPicture &picture)
{
    if (picture.ticket == 0)
        return;
    if (picture.step == Step::Registering)
        api->cancel(picture.ticket);
    else
        ossApi->cancel(picture.ticket);
    picture.ticket = 0;
}

void UploadRun::checkDone()
{
    if (running && !settling && !walking && counts.finished() == counts.total)
        endRun();
}

void UploadRun::endRun()
{
    earlierMs = elapsedMs();
    running = false;
    Q_EMIT progressChanged();
    Q_EMIT runningChanged(false);
    Q_EMIT finished();
}
