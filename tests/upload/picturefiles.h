#pragma once

#include <QByteArray>
#include <QColor>
#include <QString>

#include "testsupport.h"

// Writes a single-colour picture of the given size; the format follows the suffix.
// Returns the file's absolute path.
QString writePicture(const QString &path, int width, int height, QColor colour = Qt::darkCyan);

// Encodes a single-colour PNG once, for writing many files quickly.
QByteArray pngBytes(int width, int height, QColor colour = Qt::darkCyan);

// Writes bytes to path, creating missing folders. Returns the absolute path.
QString writeFile(const QString &path, const QByteArray &bytes);

QString fileMd5Hex(const QString &path);
