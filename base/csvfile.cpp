#include "base/csvfile.h"

#include <QSaveFile>

namespace {

const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";
const char LINE_END[] = "\r\n";

QString csvField(const QString &field)
{
    const bool needsQuotes = field.contains(QLatin1Char(',')) || field.contains(QLatin1Char('"'))
        || field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r'));
    if (!needsQuotes)
        return field;
    QString quoted = field;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

QByteArray csvBytes(const QList<QStringList> &rows)
{
    QByteArray bytes(BYTE_ORDER_MARK);
    for (const QStringList &row : rows) {
        QStringList fields;
        fields.reserve(row.size());
        for (const QString &field : row)
            fields.append(csvField(field));
        bytes += fields.join(QLatin1Char(',')).toUtf8();
        bytes += LINE_END;
    }
    return bytes;
}

bool writeCsvFile(const QString &path, const QList<QStringList> &rows, QString *error)
{
    const QByteArray bytes = csvBytes(rows);
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
