#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

// One field of a multipart/form-data body (RFC 7578).
struct FormField
{
    QByteArray name;
    QByteArray fileName;
    bool isFile = false; // the Content-Disposition carried a filename parameter
    QByteArray contentType;
    QByteArray value;
};

// The boundary parameter of a multipart/form-data Content-Type, or null when
// the type is another one or names no boundary.
QByteArray multipartBoundary(const QByteArray &contentType);

// Splits a multipart body into its fields, in order. Nothing when the body is
// not well formed: no opening delimiter, a part without its header block or a
// Content-Disposition with a name, or no closing delimiter.
std::optional<QList<FormField>> parseMultipartForm(const QByteArray &body, const QByteArray &boundary);
