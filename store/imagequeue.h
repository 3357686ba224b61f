#pragma once

#include <QString>

// The picture queue of the current upload run, kept in the image table.

inline const QString STATUS_READY = QStringLiteral("准备上传");
inline const QString STATUS_EXISTS = QStringLiteral("已经存在");
inline const QString STATUS_SENDING = QStringLiteral("开始发送");
inline const QString STATUS_OSS_FAILED = QStringLiteral("OSS失败");
inline const QString STATUS_OSS_DONE = QStringLiteral("OSS成功");
inline const QString STATUS_UPLOADED = QStringLiteral("上传成功");

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
