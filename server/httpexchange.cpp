#include "server/httpexchange.h"

QByteArray IncomingRequest::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    }
    return QByteArray();
}

HttpAnswer HttpAnswer::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    HttpAnswer answer;
    answer.status = status;
    answer.headers.append({"Content-Type", contentType});
    answer.body = body;
    return answer;
}
