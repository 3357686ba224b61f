#pragma once

#include "server/httpexchange.h"
#include "server/serveroptions.h"

#include <optional>

class ObjectStore;
struct FormField;

// The storage bucket and its picture host: the browser-form PostObject upload
// on the bucket host, and public reads (GetObject with the image-processing
// query) on both hosts. The bucket is public-read and private-write, so a form
// upload must be signed with a known access key.
class BucketService
{
public:
    BucketService(const ServerOptions &options, ObjectStore &objects);

    HttpAnswer postObject(const IncomingRequest &request) const;
    HttpAnswer getObject(const IncomingRequest &request) const;

private:
    std::optional<HttpAnswer> checkPolicy(const QByteArray &policyBase64, const QList<FormField> &fields,
                           const QString &key, qint64 fileSize) const;
    HttpAnswer imageProcess(const QString &process, const QByteArray &bytes) const;
    HttpAnswer error(int status, const QString &code, const QString &message,
                     const QList<QPair<QString, QString>> &extra = {}) const;

    const ServerOptions &options;
    ObjectStore &objects;
};
