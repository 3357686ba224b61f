#pragma once

#include <QString>

// The picture queue of the current upload run, kept in the image table.

inline const QString STATUS_READY = QStringLiteral("准备上传");
inline const QString STATUS_EXISTS = QStringLiteral("已经存在");
inline const QString STATUS_SENDING = QStringLiteral("开始发送");
inline const QString STATUS_OSS_FAILED = QStringLiteral("OSS失败");
inline const QString STATUS_OSS_DONE = QStringLiteral("OSS成功");
inline const QString STATUS_UPLOADED = QStringLiteral("上传成功");
// A picture whose file cannot be read: it is neither probed nor sent.
inline const QString STATUS_READ_FAILED = QStringLiteral("读取失败");
// Sent to the bucket, but the site did not confirm its registration.
inline const QString STATUS_REGISTER_FAILED = QStringLiteral("登记失败");
// Not final when the member stopped the run.
inline const QString STATUS_STOPPED = QStringLiteral("已停止");

struct ImageRecord
{
    int id = 0;
    QString name;
    QString path;
    QString status;
};

bool clearImages();
bool insertImage(int id, const QString &name, const QString &path);
bool updateImageStatus(int id, const QString &status);
ImageRecord findImageById(int id);
