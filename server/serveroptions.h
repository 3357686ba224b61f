#pragma once

#include <QString>

// What the stand-in answers for and how it misbehaves on purpose. The defaults
// are the names and credentials compiled into the tool.
struct ServerOptions
{
    QString siteHost;       // the site of config.ini, e.g. www.zamtu.test
    QString bucketHost;     // <bucket>.<endpoint host>, e.g. zamtu.oss.zamtu.test
    QString imageHost;      // the picture host, e.g. img.zamtu.test
    QString accessKeyId;
    QString accessKeySecret;
    QString apiVersion;     // the only Api-Version the site accepts
    int tokenLifetimeSecs = 24 * 60 * 60;

    // Fault injection: every request waits delayMs before it is answered; a
    // share (0..1) of requests is answered with 500, another share is dropped
    // (the connection closes without an answer).
    int delayMs = 0;
    double failShare = 0.0;
    double dropShare = 0.0;

    static ServerOptions compiledDefaults();
};
