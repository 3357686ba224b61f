#include "picturefiles.h"
#include "storagestandin.h"

#include "api/api.h"
#include "storage/ossapi.h"
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/upload2widget.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const int PICTURES = 5000;
const int RUN_TIMEOUT_MS = 600000;

QMap<QString, int> statusCounts()
{
    QMap<QString, int> counts;
    QSqlQuery query(QStringLiteral("select status, count(*) from image group by status"));
    while (query.next())
        counts.insert(query.value(0).toString(), query.value(1).toInt());
    return counts;
}

} // namespace

// Thousands of pictures against a storage and site that answer at once: every
// reply is handled inside the page's pauses while the scan goes on.
class TestUploadLargeRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyPictureReachesItsFinalStatus();
};

void TestUploadLargeRun::everyPictureReachesItsFinalStatus()
{
    StorageStandIn standIn;
    standIn.install();
    Api api;
    OSSApi ossApi;
    QTemporaryDir dataDir;
    QTemporaryDir picturesDir;
    QVERIFY(dataDir.isValid());
    QVERIFY(picturesDir.isValid());
    openDatabase(dataDir.path());

    // One encoded picture, made distinct per file by trailing bytes that
    // decoders ignore: every file has an MD5 of its own.
    const QByteArray png = pngBytes(1500, 600);
    QHash<QString, QString> nameByMd5;
    for (int i = 0; i < PICTURES; ++i) {
        const QString name = QStringLiteral("素材图片%1.png").arg(i, 5, 10, QLatin1Char('0'));
        const QByteArray bytes = png + QByteArray::number(i);
        writeFile(picturesDir.filePath(name), bytes);
        const QString md5 = md5Hex(bytes);
        nameByMd5.insert(md5, name);
        if (i % 10 == 0)
            standIn.stored.insert(md5);
        else if (i % 10 == 1)
            standIn.failingUploads.insert(md5);
    }
    const int stored = PICTURES / 10;
    const int failing = PICTURES / 10;
    const int confirmed = PICTURES - stored - failing;

    Upload2Widget page(&api, &ossApi);
    page.show();
    page.findChild<QLineEdit *>()->setText(picturesDir.path());
    QElapsedTimer clock;
    clock.start();
    page.clickUpload();
    const qint64 scanMs = clock.elapsed();

    const QMap<QString, int> expected{{STATUS_EXISTS, stored}, {STATUS_OSS_FAILED, failing},
                                      {STATUS_UPLOADED, confirmed}};
    QTRY_COMPARE_WITH_TIMEOUT(statusCounts(), expected, RUN_TIMEOUT_MS);
    qInfo("%d pictures: scan returned after %lld ms, all final after %lld ms, deepest loop level %d",
          PICTURES, scanMs, clock.elapsed(), standIn.deepestLoopLevel);

    QCOMPARE(page.property("total").toInt(), PICTURES);
    QCOMPARE(page.property("exists").toInt(), stored);
    QCOMPARE(page.property("error").toInt(), failing);
    QCOMPARE(page.property("success").toInt(), confirmed);
    const QString countersLine = QStringLiteral("总图片：%1 已经存在：%2 上传失败：%3 上传成功:%4")
                                     .arg(PICTURES).arg(stored).arg(failing).arg(confirmed);
    bool countersShown = false;
    for (const QLabel *label : page.findChildren<QLabel *>())
        countersShown = countersShown || label->text() == countersLine;
    QVERIFY(countersShown);

    QCOMPARE(standIn.probes.size(), PICTURES);
    QCOMPARE(standIn.uploads.size(), PICTURES - stored);
    const QSet<QString> uploaded(standIn.uploads.cbegin(), standIn.uploads.cend());
    QCOMPARE(uploaded.size(), PICTURES - stored);   // each sent once
    QVERIFY(!uploaded.intersects(standIn.stored));
    QCOMPARE(standIn.registrations.size(), confirmed);
    for (const auto &[md5, name] : std::as_const(standIn.registrations)) {
        QCOMPARE(name, nameByMd5.value(md5));
        QVERIFY(!standIn.failingUploads.contains(md5));
    }
    // Replies handled inside a pause do not open pauses of their own.
    QVERIFY2(standIn.deepestLoopLevel <= 2, QByteArray::number(standIn.deepestLoopLevel).constData());
}

QTEST_MAIN(TestUploadLargeRun)
#include "tst_uploadlargerun.moc"
