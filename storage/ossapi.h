#pragma once

#include "base/transferoutcome.h"

#include <QObject>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;
class TransferQueue;

// Client of the object storage bucket (signed browser-form upload) and of its
// picture host (existence probe, plain download). Every operation returns at
// once; its reply slot emits exactly one signal carrying the caller's id and
// how the transfer ended.
//
// At most a few transfers per host are on the wire at once; the rest wait in
// the client's queue (a file to upload is opened only when its turn comes). A
// transfer that moves no byte for the transfer time-out ends as a network
// failure.
class OSSApi : public QObject
{
    Q_OBJECT

public:
    explicit OSSApi(QObject *parent = nullptr);
    ~OSSApi() override;

    // Each returns a ticket that names the transfer for cancel().
    quint64 upload(int id, const QString &md5, const QString &path);
    quint64 exists(int id, const QString &md5);
    quint64 download(int id, const QString &key, const QString &targetPath);

    // Calls a transfer off: one still waiting is dropped without a signal, one
    // on the wire ends as cancelled (a download leaves no file behind).
    void cancel(quint64 ticket);
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }

    static QString sign(const QString &key, const QString &data);
    static QString hmacSha1(const QByteArray &key, const QByteArray &data);

Q_SIGNALS:
    void finishExists(bool exists, int id, const QString &md5, const TransferOutcome &outcome);
    void finishUpload(bool success, int id, const QString &md5, const TransferOutcome &outcome);
    void finishDownload(bool success, int id, const TransferOutcome &outcome);

public Q_SLOTS:
    void existsReply();
    void uploadReply();
    void downloadReply();

private:
    using TaggedSignal = void (OSSApi::*)(bool, int, const QString &, const TransferOutcome &);
    // Ends the sender's reply (an upload or a probe) with one signal carrying
    // its id and md5; the body of a failed reply goes to the debug output.
    void finishTagged(TaggedSignal signal, const char *debugPrefix);
    QNetworkReply *startUpload(int id, const QString &md5, const QString &path);
    QNetworkReply *startDownload(int id, const QString &key, const QString &targetPath);

    QNetworkAccessManager *manager;
    TransferQueue *queue;
    int transferTimeoutMs;
};
