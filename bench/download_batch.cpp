// Batch download benchmark: drives the real download page against a stand-in
// site and picture host (download_batch_server) and reports the time from
// pressing start to the last picture's result, and the process's peak memory.
//
//   http_proxy=http://127.0.0.1:PORT QT_QPA_PLATFORM=offscreen download_batch http://127.0.0.1:PORT FOLDER NUMBER EXPECTED_PICTURES
//
// The site URL is written to config.ini beside this executable.

#include "api/api.h"
#include "download/downloadwidget.h"
#include "storage/ossapi.h"
#include "peakrss.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>

#include <cstdio>

namespace {

const int TIME_LIMIT_MS = 10 * 60 * 1000;

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: download_batch SITE_URL FOLDER NUMBER EXPECTED_PICTURES\n");
        return 2;
    }
    const int expected = args.at(4).toInt();

    {
        QSettings settings(app.applicationDirPath() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Server/domain"), args.at(1));
    }

    Api api;
    OSSApi ossApi;
    DownloadWidget page(&api, &ossApi);
    page.findChild<QLineEdit *>(QStringLiteral("numberEdit"))->setText(args.at(3));
    page.findChild<QLineEdit *>(QStringLiteral("dirEdit"))->setText(args.at(2));

    const long idleKiB = peakRssKiB();
    int finished = 0;
    int succeeded = 0;
    QElapsedTimer clock;
    QObject::connect(&ossApi, &OSSApi::finishDownload, &app, [&](bool success, int) {
        ++finished;
        succeeded += success ? 1 : 0;
        if (finished == expected)
            app.quit();
    });
    QTimer::singleShot(TIME_LIMIT_MS, &app, [&app] { app.exit(1); });

    clock.start();
    page.findChild<QPushButton *>(QStringLiteral("startButton"))->click();
    const int rc = app.exec();
    const qint64 elapsed = clock.elapsed();

    std::printf("pictures %d succeeded %d time_ms %lld peak_rss_kib %ld idle_rss_kib %ld\n", finished,
                succeeded, static_cast<long long>(elapsed), peakRssKiB(), idleKiB);
    return rc == 0 && succeeded == expected ? 0 : 1;
}
