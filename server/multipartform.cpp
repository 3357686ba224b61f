#include "server/multipartform.h"

namespace {

const QByteArray CRLF = QByteArrayLiteral("\r\n");
const QByteArray HEADER_END = QByteArrayLiteral("\r\n\r\n");

// The value of parameter `name` in a header value such as
// form-data; name="key"; filename="a.jpg". Quoted values run to the closing
// quote, so a value may hold ";" and blanks.
std::optional<QByteArray> headerParameter(const QByteArray &value, const QByteArray &name)
{
    qsizetype pos = value.indexOf(';');
    while (pos >= 0 && pos < value.size()) {
        ++pos;
        while (pos < value.size() && (value.at(pos) == ' ' || value.at(pos) == '\t'))
            ++pos;
        const qsizetype eq = value.indexOf('=', pos);
        if (eq < 0)
            return std::nullopt;
        const QByteArray paramName = value.mid(pos, eq - pos).trimmed();
        QByteArray paramValue;
        qsizetype next;
        if (eq + 1 < value.size() && value.at(eq + 1) == '"') {
            const qsizetype close = value.indexOf('"', eq + 2);
            if (close < 0)
                return std::nullopt;
            paramValue = value.mid(eq + 2, close - eq - 2);
            next = value.indexOf(';', close);
        } else {
            next = value.indexOf(';', eq);
            paramValue = value.mid(eq + 1, next < 0 ? -1 : next - eq - 1).trimmed();
        }
        if (paramName.compare(name, Qt::CaseInsensitive) == 0)
            return paramValue;
        pos = next;
    }
    return std::nullopt;
}

} // namespace

QByteArray multipartBoundary(const QByteArray &contentType)
{
    const qsizetype semicolon = contentType.indexOf(';');
    const QByteArray type = contentType.left(semicolon).trimmed();
    if (type.compare("multipart/form-data", Qt::CaseInsensitive) != 0)
        return QByteArray();
    return headerParameter(contentType, "boundary").value_or(QByteArray());
}

std::optional<QList<FormField>> parseMultipartForm(const QByteArray &body, const QByteArray &boundary)
{
    if (boundary.isEmpty())
        return std::nullopt;
    const QByteArray delimiter = "--" + boundary;
    const QByteArray innerDelimiter = CRLF + delimiter;

    // The body opens with the delimiter (a preamble before it is allowed).
    qsizetype pos = body.startsWith(delimiter) ? 0 : body.indexOf(innerDelimiter);
    if (pos < 0)
        return std::nullopt;
    pos = body.startsWith(delimiter) ? delimiter.size() : pos + innerDelimiter.size();

    QList<FormField> fields;
    for (;;) {
        if (body.mid(pos, 2) == "--")
            return fields; // closing delimiter
        if (body.mid(pos, 2) != CRLF)
            return std::nullopt;
        pos += 2;

        const qsizetype headerEnd = body.indexOf(HEADER_END, pos);
        const qsizetype end = body.indexOf(innerDelimiter, pos);
        if (end < 0)
            return std::nullopt;
        // A part with no header lines at all opens straight with its empty line.
        const bool noHeaders = body.mid(pos, 2) == CRLF;
        if (!noHeaders && (headerEnd < 0 || headerEnd > end))
            return std::nullopt;

        FormField field;
        const qsizetype valueStart = noHeaders ? pos + 2 : headerEnd + HEADER_END.size();
        if (!noHeaders) {
            const QList<QByteArray> lines = body.mid(pos, headerEnd - pos).split('\n');
            for (QByteArray line : lines) {
                line = line.trimmed();
                const qsizetype colon = line.indexOf(':');
                if (colon < 0)
                    return std::nullopt;
                const QByteArray name = line.left(colon).trimmed();
                const QByteArray value = line.mid(colon + 1).trimmed();
                if (name.compare("Content-Disposition", Qt::CaseInsensitive) == 0) {
                    if (!value.startsWith("form-data"))
                        return std::nullopt;
                    field.name = headerParameter(value, "name").value_or(QByteArray());
                    const auto fileName = headerParameter(value, "filename");
                    field.isFile = fileName.has_value();
                    field.fileName = fileName.value_or(QByteArray());
                } else if (name.compare("Content-Type", Qt::CaseInsensitive) == 0) {
                    field.contentType = value;
                }
            }
        }
        if (field.name.isEmpty())
            return std::nullopt;
        field.value = body.mid(valueStart, end - valueStart);
        fields.append(field);
        pos = end + innerDelimiter.size();
    }
}
