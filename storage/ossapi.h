#pragma once

#include <QObject>
#include <QString>

class QNetworkAccessManager;

// Client of the object storage bucket (signed browser-form upload) and of its
// picture host (existence probe, plain download). Every operation returns at
// once; its reply slot emits exactly one signal carrying the caller's id.
class OSSApi : public QObject
{
    Q_OBJECT

public:
    explicit OSSApi(QObject *parent = nullptr);
    ~OSSApi() override;

    void upload(int id, const QString &md5, const QString &path);
    void exists(int id, const QString &md5);
    void download(int id, const QString &key, const QString &targetPath);

    static QString sign(const QString &key, const QString &data);
    static QString hmacSha1(const QByteArray &key, const QByteArray &data);

Q_SIGNALS:
    void finishExists(bool exists, int id, const QString &md5);
    void finishUpload(bool success, int id, const QString &md5);
    void finishDownload(bool success, int id);

public Q_SLOTS:
    void existsReply();
    void uploadReply();
    void downloadReply();

private:
    using TaggedSignal = void (OSSApi::*)(bool, int, const QString &);
    // Ends the sender's reply (an upload or a probe) with one signal carrying
    // its id and md5; the body of a failed reply goes to the debug output.
    void finishTagged(TaggedSignal signal, const char *debugPrefix);

    QNetworkAccessManager *manager;
};
