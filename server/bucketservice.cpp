#include "server/bucketservice.h"

#include "server/multipartform.h"
#include "server/objectstore.h"
#include "server/osserror.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QMimeDatabase>

#include <climits>

namespace {

const int MAX_KEY_BYTES = 1023;
const char PROCESS_QUERY[] = "x-oss-process";
const QString SIGNATURE_MISMATCH = QStringLiteral(
    "The request signature we calculated does not match the signature you provided. "
    "Check your key and signing method.");
const QString MALFORMED_POST = QStringLiteral(
    "The body of your POST request is not well-formed multipart/form-data.");
const QString BUCKET_ACL_DENIED = QStringLiteral(
    "You have no right to access this object because of bucket acl.");

// The first field of that name; form field names are matched ignoring case.
const FormField *findField(const QList<FormField> &fields, const QByteArray &name)
{
    for (const FormField &field : fields) {
        if (field.name.compare(name, Qt::CaseInsensitive) == 0)
            return &field;
    }
    return nullptr;
}

QString fieldText(const QList<FormField> &fields, const QByteArray &name)
{
    const FormField *field = findField(fields, name);
    return field ? QString::fromUtf8(field->value) : QString();
}

// The value a policy condition compares with "$name": the bucket, the key
// after ${filename} substitution, or the form field itself.
QString conditionValue(const QList<FormField> &fields, const QString &name, const QString &key,
                       const QString &bucket)
{
    if (name.compare(QLatin1String("bucket"), Qt::CaseInsensitive) == 0)
        return bucket;
    if (name.compare(QLatin1String("key"), Qt::CaseInsensitive) == 0)
        return key;
    return fieldText(fields, name.toUtf8());
}

QString conditionText(const QJsonArray &condition)
{
    return QString::fromUtf8(QJsonDocument(condition).toJson(QJsonDocument::Compact));
}

} // namespace

BucketService::BucketService(const ServerOptions &options, ObjectStore &objects)
    : options(options)
    , objects(objects)
{
}

HttpAnswer BucketService::error(int status, const QString &code, const QString &message,
                                const QList<QPair<QString, QString>> &extra) const
{
    return ossError(status, code, message, options.bucketHost, extra);
}

HttpAnswer BucketService::postObject(const IncomingRequest &request) const
{
    const QByteArray boundary = multipartBoundary(request.header("Content-Type"));
    const auto parsed = parseMultipartForm(request.body, boundary);
    if (!parsed)
        return error(400, QStringLiteral("MalformedPOSTRequest"), MALFORMED_POST);
    const QList<FormField> &fields = *parsed;

    // The file is the last field, and only the last one is a file.
    if (fields.isEmpty() || fields.last().name.compare("file", Qt::CaseInsensitive) != 0)
        return error(400, QStringLiteral("MalformedPOSTRequest"), MALFORMED_POST);
    for (qsizetype i = 0; i + 1 < fields.size(); ++i) {
        if (fields.at(i).name.compare("file", Qt::CaseInsensitive) == 0)
            return error(400, QStringLiteral("MalformedPOSTRequest"), MALFORMED_POST);
    }
    const FormField &file = fields.last();

    const FormField *keyField = findField(fields, "key");
    if (!keyField)
        return error(400, QStringLiteral("InvalidArgument"),
                     QStringLiteral("Bucket POST must contain a field named 'key'."),
                     {{QStringLiteral("ArgumentName"), QStringLiteral("key")}});
    QString key = QString::fromUtf8(keyField->value);
    key.replace(QLatin1String("${filename}"), QFileInfo(QString::fromUtf8(file.fileName)).fileName());
    const QByteArray keyBytes = key.toUtf8();
    if (keyBytes.isEmpty() || keyBytes.size() > MAX_KEY_BYTES || key.startsWith(QLatin1Char('/'))
        || key.startsWith(QLatin1Char('\\')))
        return error(400, QStringLiteral("InvalidObjectName"), QStringLiteral("The specified object is not valid."));

    const FormField *accessKeyField = findField(fields, "OSSAccessKeyId");
    if (!accessKeyField)
        return error(403, QStringLiteral("AccessDenied"), BUCKET_ACL_DENIED);
    const QString accessKeyId = QString::fromUtf8(accessKeyField->value);
    const FormField *policyField = findField(fields, "policy");
    if (!policyField)
        return error(400, QStringLiteral("InvalidArgument"),
                     QStringLiteral("Bucket POST must contain a field named 'policy'. If it is specified, "
                                    "please check the order of the fields."),
                     {{QStringLiteral("ArgumentName"), QStringLiteral("policy")}});
    const FormField *signatureField = findField(fields, "Signature");
    if (!signatureField)
        return error(400, QStringLiteral("InvalidArgument"),
                     QStringLiteral("Bucket POST must contain a field named 'Signature'. If it is specified, "
                                    "please check the order of the fields."),
                     {{QStringLiteral("ArgumentName"), QStringLiteral("Signature")}});

    if (accessKeyId != options.accessKeyId)
        return error(403, QStringLiteral("InvalidAccessKeyId"),
                     QStringLiteral("The OSS Access Key Id you provided does not exist in our records."),
                     {{QStringLiteral("OSSAccessKeyId"), accessKeyId}});

    const QByteArray policy = policyField->value;
    const QByteArray expected = QMessageAuthenticationCode::hash(policy, options.accessKeySecret.toUtf8(),
                                                                 QCryptographicHash::Sha1)
                                    .toBase64();
    if (signatureField->value != expected)
        return error(403, QStringLiteral("SignatureDoesNotMatch"), SIGNATURE_MISMATCH,
                     {{QStringLiteral("OSSAccessKeyId"), accessKeyId},
                      {QStringLiteral("SignatureProvided"), QString::fromUtf8(signatureField->value)},
                      {QStringLiteral("StringToSign"), QString::fromUtf8(policy)}});

    if (const auto refusal = checkPolicy(policy, fields, key, file.value.size()))
        return *refusal;

    if (!objects.put(key, file.value))
        return error(500, QStringLiteral("InternalError"), QStringLiteral("We encountered an internal error. Please try again."));

    HttpAnswer answer;
    const QByteArray etag = '"' + QCryptographicHash::hash(file.value, QCryptographicHash::Md5).toHex().toUpper() + '"';
    answer.headers = {{"Server", "AliyunOSS"}, {"ETag", etag}, {"x-oss-request-id", newRequestId()}};
    const QString status = fieldText(fields, "success_action_status");
    if (status == QLatin1String("200")) {
        answer.status = 200;
    } else if (status == QLatin1String("201")) {
        answer.status = 201;
        answer.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/xml")));
        answer.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<PostResponse><Bucket>"
            + options.bucketHost.section(QLatin1Char('.'), 0, 0).toHtmlEscaped().toUtf8() + "</Bucket><Key>"
            + key.toHtmlEscaped().toUtf8() + "</Key><ETag>" + etag + "</ETag></PostResponse>";
    } else {
        answer.status = 204;
    }
    return answer;
}

// Decodes the policy and checks the form against it: the refusal, or nothing
// when the form passes.
std::optional<HttpAnswer> BucketService::checkPolicy(const QByteArray &policyBase64, const QList<FormField> &fields,
                                      const QString &key, qint64 fileSize) const
{
    const auto invalid = [this](const QString &message) {
        return error(400, QStringLiteral("InvalidPolicyDocument"), QStringLiteral("Invalid Policy: ") + message);
    };
    const auto decoded = QByteArray::fromBase64Encoding(policyBase64, QByteArray::AbortOnBase64DecodingErrors);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(decoded.decoded, &parseError);
    if (!decoded || parseError.error != QJsonParseError::NoError || !document.isObject())
        return invalid(QStringLiteral("Invalid JSON."));
    const QJsonObject policy = document.object();

    if (!policy.contains(QLatin1String("expiration")))
        return invalid(QStringLiteral("Policy missing expiration."));
    const QString expirationText = policy.value(QLatin1String("expiration")).toString();
    const QDateTime expiration = QDateTime::fromString(expirationText, Qt::ISODateWithMs);
    if (!expiration.isValid())
        return invalid(QStringLiteral("Invalid 'expiration' value: '%1'").arg(expirationText));
    const QJsonArray conditions = policy.value(QLatin1String("conditions")).toArray();
    if (conditions.isEmpty())
        return invalid(QStringLiteral("Policy missing conditions."));
    if (expiration <= QDateTime::currentDateTimeUtc())
        return error(403, QStringLiteral("AccessDenied"), QStringLiteral("Invalid according to Policy: Policy expired."));

    const QString bucket = options.bucketHost.section(QLatin1Char('.'), 0, 0);
    const auto failed = [this](const QJsonArray &condition) {
        return error(403, QStringLiteral("AccessDenied"),
                     QStringLiteral("Invalid according to Policy: Policy Condition failed: ") + conditionText(condition));
    };
    for (const QJsonValue &entry : conditions) {
        if (entry.isObject()) {
            const QJsonObject simple = entry.toObject();
            if (simple.size() != 1)
                return invalid(QStringLiteral("Invalid Simple-Condition: Simple-Conditions must have exactly one "
                                              "property specified."));
            const QString name = simple.begin().key();
            const QString value = simple.begin().value().toString();
            if (conditionValue(fields, name, key, bucket) != value)
                return failed(QJsonArray{QStringLiteral("eq"), QString(QLatin1Char('$') + name), value});
            continue;
        }
        const QJsonArray condition = entry.toArray();
        const QString op = condition.at(0).toString().toLower();
        if (op == QLatin1String("content-length-range")) {
            const QJsonValue minValue = condition.at(1);
            const QJsonValue maxValue = condition.at(2);
            if (condition.size() != 3 || !minValue.isDouble() || !maxValue.isDouble()
                || minValue.toDouble() < 0 || maxValue.toDouble() < minValue.toDouble())
                return invalid(QStringLiteral("Invalid content-length-range."));
            if (fileSize > qint64(maxValue.toDouble()))
                return error(400, QStringLiteral("EntityTooLarge"),
                             QStringLiteral("Your proposed upload exceeds the maximum allowed size."),
                             {{QStringLiteral("ProposedSize"), QString::number(fileSize)},
                              {QStringLiteral("MaxSizeAllowed"), QString::number(qint64(maxValue.toDouble()))}});
            if (fileSize < qint64(minValue.toDouble()))
                return error(400, QStringLiteral("EntityTooSmall"),
                             QStringLiteral("Your proposed upload is smaller than the minimum allowed size."),
                             {{QStringLiteral("ProposedSize"), QString::number(fileSize)},
                              {QStringLiteral("MinSizeAllowed"), QString::number(qint64(minValue.toDouble()))}});
        } else if (op == QLatin1String("eq") || op == QLatin1String("starts-with")) {
            const QString field = condition.at(1).toString();
            if (condition.size() != 3 || !field.startsWith(QLatin1Char('$')))
                return invalid(QStringLiteral("Invalid Condition: %1").arg(conditionText(condition)));
            const QString actual = conditionValue(fields, field.mid(1), key, bucket);
            const QString wanted = condition.at(2).toString();
            const bool ok = op == QLatin1String("eq") ? actual == wanted : actual.startsWith(wanted);
            if (!ok)
                return failed(condition);
        } else {
            return invalid(QStringLiteral("Unknown condition: %1").arg(conditionText(condition)));
        }
    }
    return std::nullopt;
}

HttpAnswer BucketService::getObject(const IncomingRequest &request) const
{
    const QString key = request.path.mid(1);
    if (key.isEmpty())
        return error(403, QStringLiteral("AccessDenied"), BUCKET_ACL_DENIED);
    const auto bytes = objects.get(key);
    if (!bytes)
        return error(404, QStringLiteral("NoSuchKey"), QStringLiteral("The specified key does not exist."),
                     {{QStringLiteral("Key"), key}});

    if (request.query.hasQueryItem(QLatin1String(PROCESS_QUERY)))
        return imageProcess(request.query.queryItemValue(QLatin1String(PROCESS_QUERY), QUrl::FullyDecoded), *bytes);

    HttpAnswer answer;
    answer.headers = {{"Server", "AliyunOSS"},
                      {"Content-Type", QMimeDatabase().mimeTypeForData(*bytes).name().toLatin1()},
                      {"ETag", '"' + QCryptographicHash::hash(*bytes, QCryptographicHash::Md5).toHex().toUpper() + '"'},
                      {"x-oss-request-id", newRequestId()}};
    answer.body = *bytes;
    return answer;
}

// Serves "image/resize,m_lfit,w_W,h_H": the picture scaled to fit within W x H
// keeping its proportions, in its own format (PNG for formats Qt cannot write).
HttpAnswer BucketService::imageProcess(const QString &process, const QByteArray &bytes) const
{
    const QStringList steps = process.split(QLatin1Char('/'));
    if (steps.size() != 2 || steps.at(0) != QLatin1String("image"))
        return error(400, QStringLiteral("InvalidArgument"), QStringLiteral("Unsupported process: %1").arg(process));
    const QStringList params = steps.at(1).split(QLatin1Char(','));
    if (params.at(0) != QLatin1String("resize"))
        return error(400, QStringLiteral("InvalidArgument"),
                     QStringLiteral("Unsupported operation: %1").arg(params.at(0)));
    int width = 0;
    int height = 0;
    for (qsizetype i = 1; i < params.size(); ++i) {
        const QString &param = params.at(i);
        bool ok = true;
        if (param.startsWith(QLatin1String("w_")))
            width = param.mid(2).toInt(&ok);
        else if (param.startsWith(QLatin1String("h_")))
            height = param.mid(2).toInt(&ok);
        else if (param != QLatin1String("m_lfit"))
            ok = false;
        if (!ok || width < 0 || height < 0)
            return error(400, QStringLiteral("InvalidArgument"),
                         QStringLiteral("Unsupported resize parameter: %1").arg(param));
    }
    if (width == 0 && height == 0)
        return error(400, QStringLiteral("MissingArgument"), QStringLiteral("Resize needs w or h."));

    QBuffer input;
    input.setData(bytes);
    QImageReader reader(&input);
    const QByteArray format = reader.format();
    QImage image = reader.read();
    if (image.isNull())
        return error(400, QStringLiteral("BadRequest"), QStringLiteral("The image format is not supported."));

    const QSize bound(width > 0 ? width : INT_MAX, height > 0 ? height : INT_MAX);
    image = image.scaled(image.size().scaled(bound, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)),
                         Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QByteArray outFormat = QImageWriter::supportedImageFormats().contains(format) ? format : "png";
    QByteArray out;
    QBuffer output(&out);
    output.open(QIODevice::WriteOnly);
    image.save(&output, outFormat.constData());

    HttpAnswer answer;
    answer.headers = {{"Server", "AliyunOSS"},
                      {"Content-Type", "image/" + (outFormat == "jpg" ? QByteArray("jpeg") : outFormat)},
                      {"x-oss-request-id", newRequestId()}};
    answer.body = out;
    return answer;
}
