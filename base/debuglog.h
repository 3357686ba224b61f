#pragma once

#include <QDebug>
#include <QString>

// Diagnostic lines go to the toolkit's debug output as a fixed prefix, a space and
// the value in double quotes. The value is written unescaped so that Chinese
// paths and reply bodies stay readable.
inline QString quoted(const QString &value)
{
    return QLatin1Char('"') + value + QLatin1Char('"');
}

inline void debugQuoted(const char *prefix, const QString &value)
{
    qDebug().noquote() << prefix << quoted(value);
}

inline void debugQuoted(const QString &value)
{
    qDebug().noquote() << quoted(value);
}
