#pragma once

#include <QString>

// MD5 of a file's content as 32 lower-case hex digits, read from disk in chunks
// so that memory use does not grow with the file. Empty when the file cannot be
// opened or read to its end.
QString fileMd5(const QString &path);
