#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Rows as CSV that spreadsheet programs open with the Chinese intact: UTF-8
// with a byte-order mark, CRLF line ends, and a field quoted (quotes doubled)
// where it holds a comma, a quote or a line break.
QByteArray csvBytes(const QList<QStringList> &rows);

// Writes csvBytes(rows) to path. The file is written beside the target and
// moved into place only when complete, so a failed write never leaves a
// truncated file where an earlier one was. On failure, error (when given)
// receives the reason.
bool writeCsvFile(const QString &path, const QList<QStringList> &rows, QString *error = nullptr);
