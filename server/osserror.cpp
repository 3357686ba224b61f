#include "server/osserror.h"

#include <QRandomGenerator>
#include <QXmlStreamWriter>

QByteArray newRequestId()
{
    quint32 words[3];
    QRandomGenerator::global()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof(words)).toHex().toUpper();
}

HttpAnswer ossError(int status, const QString &code, const QString &message, const QString &hostId,
                    const QList<QPair<QString, QString>> &extra)
{
    const QByteArray requestId = newRequestId();
    QByteArray xml;
    QXmlStreamWriter writer(&xml);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeStartElement(QStringLiteral("Error"));
    writer.writeTextElement(QStringLiteral("Code"), code);
    writer.writeTextElement(QStringLiteral("Message"), message);
    writer.writeTextElement(QStringLiteral("RequestId"), QString::fromLatin1(requestId));
    writer.writeTextElement(QStringLiteral("HostId"), hostId);
    for (const auto &element : extra)
        writer.writeTextElement(element.first, element.second);
    writer.writeEndElement();
    writer.writeEndDocument();

    HttpAnswer answer;
    answer.status = status;
    answer.headers = {{"Server", "AliyunOSS"},
                      {"Content-Type", "application/xml"},
                      {"x-oss-request-id", requestId}};
    answer.body = xml;
    return answer;
}
