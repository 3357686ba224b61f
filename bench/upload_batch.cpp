// Batch upload benchmark: drives the real upload page against the stand-in
// (zamtu-server) and reports the time from starting the run to its end, the
// run's counters and the process's peak memory.
//
//   upload_batch pictures FOLDER COUNT
//       writes COUNT distinct pictures that the upload rules select into FOLDER
//   upload_batch FOLDER DATABASE_FOLDER USER PASSWORD EXPECTED_PICTURES
//       with http_proxy=http://127.0.0.1:PORT and QT_QPA_PLATFORM=offscreen:
//       logs in, uploads FOLDER through the upload page and prints one line
//
// The site URL is written to config.ini beside this executable; the tool's
// database is opened in DATABASE_FOLDER/data. Exit code 0 only when the run
// selected EXPECTED_PICTURES pictures and every one of them ended uploaded.

#include "api/api.h"
#include "storage/ossapi.h"
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/upload2widget.h"
#include "upload/uploadrun.h"
#include "peakrss.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QMap>
#include <QSettings>
#include <QTimer>

#include <cstdio>

namespace {

const int TIME_LIMIT_MS = 15 * 60 * 1000;
const int LOGIN_LIMIT_MS = 30 * 1000;
// A picture of 1500x600 (width + height above the rules' 2000).
const int PICTURE_WIDTH = 1500;
const int PICTURE_HEIGHT = 600;
const int NAME_DIGITS = 6;
// Failed pictures named on the output, at most.
const int FAILURES_SHOWN = 10;

// One encoded PNG, made distinct per file by its index appended after the
// image data (decoders ignore it): every file has an MD5 of its own.
int writePictures(const QString &folder, int count)
{
    QImage image(PICTURE_WIDTH, PICTURE_HEIGHT, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        std::fprintf(stderr, "upload_batch: cannot encode a PNG\n");
        return 1;
    }
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "upload_batch: cannot create %s\n", qPrintable(folder));
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("素材图片%1.png").arg(i, NAME_DIGITS, 10, QLatin1Char('0'));
        QFile file(QDir(folder).filePath(name));
        const QByteArray tail = QByteArray::number(i);
        if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size() || file.write(tail) != tail.size()) {
            std::fprintf(stderr, "upload_batch: cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Writing pictures needs no display.
    if (argc == 4 && qstrcmp(argv[1], "pictures") == 0) {
        const QCoreApplication app(argc, argv);
        const QStringList args = app.arguments();
        return writePictures(args.at(2), args.at(3).toInt());
    }
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: upload_batch FOLDER DATABASE_FOLDER USER PASSWORD EXPECTED_PICTURES\n"
                             "       upload_batch pictures FOLDER COUNT\n");
        return 2;
    }
    const QString folder = QDir(args.at(1)).absolutePath();
    const int expected = args.at(5).toInt();

    {
        QSettings settings(app.applicationDirPath() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Server/domain"), QStringLiteral("http://www.zamtu.test"));
    }
    openDatabase(args.at(2));

    Api api;
    OSSApi ossApi;

    // Logged in first, as a member is before the upload page is reached.
    bool loggedIn = false;
    QObject::connect(&api, &Api::successLogin, &app, [&] {
        loggedIn = true;
        app.quit();
    });
    QObject::connect(&api, &Api::failLogin, &app, [&](const QString &, const TransferOutcome &outcome) {
        std::fprintf(stderr, "upload_batch: login failed: %s\n", qPrintable(outcome.reason));
        app.exit(1);
    });
    QTimer loginLimit;
    loginLimit.setSingleShot(true);
    QObject::connect(&loginLimit, &QTimer::timeout, &app, [&app] { app.exit(1); });
    loginLimit.start(LOGIN_LIMIT_MS);
    api.login(args.at(3), args.at(4));
    const int loginRc = app.exec();
    loginLimit.stop();
    if (loginRc != 0 || !loggedIn) {
        std::fprintf(stderr, "upload_batch: no login\n");
        return 1;
    }

    Upload2Widget page(&api, &ossApi);
    page.show();
    page.findChild<QLineEdit *>(QStringLiteral("folderEdit"))->setText(folder);
    UploadRun *run = page.findChild<UploadRun *>();
    if (!run) {
        std::fprintf(stderr, "upload_batch: the upload page holds no upload run\n");
        return 1;
    }

    QElapsedTimer clock;
    qint64 elapsed = -1;
    QObject::connect(run, &UploadRun::finished, &app, [&] {
        elapsed = clock.elapsed();
        app.quit();
    });
    QTimer::singleShot(TIME_LIMIT_MS, &app, [&app] { app.exit(1); });

    QCoreApplication::processEvents(); // the page is laid out and shown before the clock starts
    const long idleKiB = peakRssKiB();
    clock.start();
    page.clickUpload();
    const int rc = app.exec();
    const bool timedOut = elapsed < 0;
    if (timedOut)
        elapsed = clock.elapsed();

    const UploadRun::Counters counts = run->counters();
    const QList<QStringList> rows = run->resultRows();
    int uploaded = 0;
    QMap<QString, int> otherStatuses;
    QStringList failures;
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const QStringList &row = rows.at(i); // id, name, path, MD5, status, reason
        if (row.at(4) == STATUS_UPLOADED) {
            ++uploaded;
            continue;
        }
        ++otherStatuses[row.at(4).isEmpty() ? QStringLiteral("(none)") : row.at(4)];
        if (failures.size() < FAILURES_SHOWN)
            failures.append(row.at(2) + QLatin1Char(' ') + row.at(4) + QLatin1Char(' ') + row.at(5));
    }

    std::printf("pictures %d exists %d error %d success %d stopped %d time_ms %lld peak_rss_kib %ld "
                "idle_rss_kib %ld%s\n",
                counts.total, counts.exists, counts.error, counts.success, counts.stopped,
                static_cast<long long>(elapsed), peakRssKiB(), idleKiB, timedOut ? " TIMED_OUT" : "");
    for (auto it = otherStatuses.cbegin(); it != otherStatuses.cend(); ++it)
        std::printf("status %s: %d pictures\n", qPrintable(it.key()), it.value());
    for (const QString &failure : std::as_const(failures))
        std::printf("not uploaded: %s\n", qPrintable(failure));
    std::fflush(stdout);

    const bool allUploaded = counts.total == expected && uploaded == expected;
    return rc == 0 && !timedOut && allUploaded ? 0 : 1;
}
