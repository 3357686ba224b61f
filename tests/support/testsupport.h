#pragma once

#include <QByteArray>
#include <QString>

// Writes config.ini beside the test executable, naming the site's base URL.
// Each suite has a folder of its own, so suites never share this file.
void writeSiteConfig(const QString &domain);

// Removes config.ini beside the test executable.
void removeSiteConfig();

// MD5 of bytes as 32 lower-case hex digits, the form keys and registrations use.
QString md5Hex(const QByteArray &bytes);

// A file's whole content; empty when it cannot be read.
QByteArray readFile(const QString &path);
