// Times the upload page's file MD5 against md5sum on the same file, alternating
// runs so both see the same page-cache state. Usage: md5bench [size MiB] [rounds]
#include "upload/filemd5.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

const int DEFAULT_SIZE_MIB = 200;
const int DEFAULT_ROUNDS = 5;
const qint64 MIB = 1024 * 1024;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int sizeMib = args.size() > 1 ? args.at(1).toInt() : DEFAULT_SIZE_MIB;
    const int rounds = args.size() > 2 ? args.at(2).toInt() : DEFAULT_ROUNDS;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("素材.jpg"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 1;
    QByteArray chunk(MIB, Qt::Uninitialized);
    for (int i = 0; i < sizeMib; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(chunk.data()),
                                              chunk.size() / int(sizeof(quint32)));
        file.write(chunk);
    }
    file.close();

    QList<double> ours;
    QList<double> reference;
    QString ourDigest;
    QString referenceDigest;
    fileMd5(path); // warm the page cache
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        ourDigest = fileMd5(path);
        ours.append(clock.nsecsElapsed() / 1e6);

        QProcess md5sum;
        clock.restart();
        md5sum.start(QStringLiteral("md5sum"), {path});
        md5sum.waitForFinished(-1);
        reference.append(clock.nsecsElapsed() / 1e6);
        referenceDigest = QString::fromLatin1(md5sum.readAllStandardOutput().left(32));
    }

    const double oursMs = median(ours);
    const double referenceMs = median(reference);
    std::printf("file: %d MiB, %d rounds, medians\n", sizeMib, rounds);
    std::printf("fileMd5: %.1f ms  md5sum: %.1f ms  ratio fileMd5/md5sum: %.2f\n", oursMs, referenceMs,
                oursMs / referenceMs);
    std::printf("digests %s\n", ourDigest == referenceDigest ? "agree" : "DIFFER");
    return ourDigest == referenceDigest ? 0 : 1;
}
