#include "picturefiles.h"

#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/imagereader.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#ifdef Q_OS_UNIX
#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QString TOO_SMALL = QStringLiteral("Too small size：");
const QString NO_CHINESE = QStringLiteral("Not find chinese word：");

// Collects the scan's diagnostic lines while installed.
QStringList scanDiagnostics;
QtMessageHandler previousHandler = nullptr;

void collectDiagnostics(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(TOO_SMALL) || message.startsWith(NO_CHINESE))
        scanDiagnostics.append(message);
    else
        previousHandler(type, context, message);
}

QString diagnostic(const QString &prefix, const QString &path)
{
    return prefix + QStringLiteral(" \"") + path + QLatin1Char('"');
}

#ifdef Q_OS_UNIX
// Watches a named pipe from a thread of its own for as long as it lives.
// Whenever someone holds the pipe open for reading, it opens the writing end
// and closes it again at once: the reader then meets the end of the data
// instead of waiting for a writer for good, and readerSeen() tells that it
// happened.
class PipeWatch
{
public:
    explicit PipeWatch(const QString &path)
        : watcher([this, name = QFile::encodeName(path)] {
            while (!stop) {
                // Without a reader this open fails at once (ENXIO).
                const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
                if (fd >= 0) {
                    opened = true;
                    ::close(fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        })
    {
    }
    ~PipeWatch()
    {
        stop = true;
        watcher.join();
    }
    PipeWatch(const PipeWatch &) = delete;
    PipeWatch &operator=(const PipeWatch &) = delete;

    bool readerSeen() const { return opened; }

private:
    std::atomic<bool> stop{false};
    std::atomic<bool> opened{false};
    std::thread watcher;
};
#endif

} // namespace

class TestImageReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void suffixTest_data();
    void suffixTest();
    void selectsByRules_data();
    void selectsByRules();
    void walksFoldersDepthFirstInCaseInsensitiveOrder_data();
    void walksFoldersDepthFirstInCaseInsensitiveOrder();
    void stepwiseWalkLooksAtBoundedEntriesAndCanBeCancelled();
    void skipsHiddenFilesAndFolders();
    void emptyFolderGivesOnlyFinishRead_data();
    void emptyFolderGivesOnlyFinishRead();
    void newRunRestartsIdsOnEmptiedQueue();
    void folderLinkCycleIsWalkedOnce();
    void secondReadDuringRunIsRefused();
    void specialFileIsSkippedWithoutBlocking();

private:
    struct Run
    {
        QList<int> ids;
        int finishes = 0;
        int total = 0;
    };
    // The whole walk at once, or with step > 0 that many entries at a time.
    Run read(const QString &folder, int step = 0);

    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<QTemporaryDir> picturesDir;
    QString root;
};

void TestImageReader::init()
{
    dataDir = std::make_unique<QTemporaryDir>();
    picturesDir = std::make_unique<QTemporaryDir>();
    QVERIFY(dataDir->isValid());
    QVERIFY(picturesDir->isValid());
    root = picturesDir->path();
    openDatabase(dataDir->path());
    scanDiagnostics.clear();
    previousHandler = qInstallMessageHandler(collectDiagnostics);
}

void TestImageReader::cleanup()
{
    qInstallMessageHandler(previousHandler);
    picturesDir.reset();
    dataDir.reset();
}

TestImageReader::Run TestImageReader::read(const QString &folder, int step)
{
    ImageReader reader;
    Run run;
    connect(&reader, &ImageReader::readImage, this, [&run](int id) { run.ids.append(id); });
    connect(&reader, &ImageReader::finishRead, this, [&run] { ++run.finishes; });
    if (step == 0) {
        reader.read(folder);
    } else {
        reader.begin(folder);
        while (reader.readSome(step)) {
        }
    }
    run.total = reader.property("total").toInt();
    return run;
}

void TestImageReader::suffixTest_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("upper-case JPG") << "图.JPG" << true;
    QTest::newRow("mixed-case Png") << "图.Png" << true;
    QTest::newRow("jpeg") << "图.jpeg" << true;
    QTest::newRow("gif") << "图.gif" << true;
    QTest::newRow("jpg followed by bak") << "图.jpg.bak" << false;
    QTest::newRow("no dot") << "jpg" << false;
    QTest::newRow("only dot first: whole name is the suffix") << ".png" << true;
    QTest::newRow("dot at the end") << "图.png." << false;
    QTest::newRow("other picture format") << "图.bmp" << false;
}

void TestImageReader::suffixTest()
{
    QFETCH(QString, fileName);
    QFETCH(bool, accepted);
    QCOMPARE(hasImageSuffix(fileName), accepted);
}

void TestImageReader::selectsByRules_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QSize>("size");      // an invalid size writes a text file
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("diagnosticPrefix");

    const QSize large(1500, 600);
    QTest::newRow("sum 2000 is too small") << "图片.png" << QSize(1000, 1000) << false << TOO_SMALL;
    QTest::newRow("sum 2001 passes") << "图片.png" << QSize(1000, 1001) << true << QString();
    QTest::newRow("jpeg passes") << "图片.jpg" << QSize(1600, 900) << true << QString();
    QTest::newRow("upper-case GIF passes") << "图片.GIF" << large << true << QString();
    QTest::newRow("first ideograph U+4E00") << "a一b.png" << large << true << QString();
    QTest::newRow("last ideograph U+9FA5") << "龥.png" << large << true << QString();
    QTest::newRow("ASCII name") << "photo.png" << large << false << NO_CHINESE;
    QTest::newRow("full-width punctuation only") << "（，。）「」.png" << large << false << NO_CHINESE;
    QTest::newRow("ideographs above U+9FA5")
        << QString::fromUtf16(u"\u9FA6\u9FFF.png") << large << false << NO_CHINESE;
    QTest::newRow("supplementary ideograph")
        << QString::fromUtf16(u"\U00020000.png") << large << false << NO_CHINESE;
    QTest::newRow("small without Chinese reports only the size")
        << "small.png" << QSize(100, 100) << false << TOO_SMALL;
    QTest::newRow("text file named .jpg") << "图片.jpg" << QSize() << false << TOO_SMALL;
    QTest::newRow("foreign suffix, silently") << "图片.bmp" << large << false << QString();
}

void TestImageReader::selectsByRules()
{
    QFETCH(QString, fileName);
    QFETCH(QSize, size);
    QFETCH(bool, selected);
    QFETCH(QString, diagnosticPrefix);

    const QString path = picturesDir->filePath(fileName);
    if (size.isValid())
        writePicture(path, size.width(), size.height());
    else
        writeFile(path, "not a picture\n");

    // The header's size decides exactly as a full decode would.
    QCOMPARE(pictureSize(path), QImage(path).size());

    const Run run = read(root);

    QCOMPARE(run.finishes, 1);
    QCOMPARE(run.ids, selected ? QList<int>{1} : QList<int>{});
    QCOMPARE(run.total, selected ? 1 : 0);
    const QString absolutePath = QFileInfo(path).absoluteFilePath();
    QCOMPARE(scanDiagnostics,
             diagnosticPrefix.isEmpty() ? QStringList() : QStringList{diagnostic(diagnosticPrefix, absolutePath)});

    const ImageRecord record = findImageById(1);
    if (selected) {
        QCOMPARE(record.id, 1);
        QCOMPARE(record.name, fileName);
        QCOMPARE(record.path, absolutePath);
        QCOMPARE(record.status, STATUS_READY);
    } else {
        QVERIFY(record.path.isEmpty());
    }
}

void TestImageReader::walksFoldersDepthFirstInCaseInsensitiveOrder_data()
{
    QTest::addColumn<int>("step");
    QTest::newRow("whole walk") << 0;
    QTest::newRow("one entry at a time") << 1;
    QTest::newRow("three entries at a time") << 3;
}

void TestImageReader::walksFoldersDepthFirstInCaseInsensitiveOrder()
{
    QFETCH(int, step);
    const QString inA = writePicture(root + QStringLiteral("/A/图a.png"), 1500, 600);
    const QString b = writePicture(root + QStringLiteral("/b图.png"), 1500, 600);
    const QString deep = writePicture(root + QStringLiteral("/c/d/e/图e.png"), 1500, 600);
    const QString c = writePicture(root + QStringLiteral("/C图.png"), 1500, 600);
    // A folder named like a picture is still walked as a folder.
    const QString inFolder = writePicture(root + QStringLiteral("/d.jpg/图f.png"), 1500, 600);

    const Run run = read(root, step);

    QCOMPARE(run.ids, (QList<int>{1, 2, 3, 4, 5}));
    QCOMPARE(run.total, 5);
    // "c" and "C图.png" compare as "c" < "c图.png" ignoring case.
    const QStringList expected{inA, b, deep, c, inFolder};
    for (int id = 1; id <= expected.size(); ++id)
        QCOMPARE(findImageById(id).path, expected.at(id - 1));
    QVERIFY(scanDiagnostics.isEmpty());
}

void TestImageReader::stepwiseWalkLooksAtBoundedEntriesAndCanBeCancelled()
{
    for (int i = 0; i < 5; ++i)
        writePicture(root + QStringLiteral("/图%1.png").arg(i), 1500, 600);
    ImageReader reader;
    QList<int> ids;
    int finishes = 0;
    connect(&reader, &ImageReader::readImage, this, [&ids](int id) { ids.append(id); });
    connect(&reader, &ImageReader::finishRead, this, [&finishes] { ++finishes; });

    reader.begin(root);
    QVERIFY(reader.isReading());
    QVERIFY(ids.isEmpty()); // nothing is looked at before the first step
    // The listing holds "." and ".." before the pictures.
    QVERIFY(reader.readSome(4));
    QCOMPARE(ids, (QList<int>{1, 2}));
    QVERIFY(reader.readSome(1));
    QCOMPARE(ids, (QList<int>{1, 2, 3}));

    reader.cancel();
    QVERIFY(!reader.isReading());
    QVERIFY(!reader.readSome(10));
    QCOMPARE(ids, (QList<int>{1, 2, 3}));
    QCOMPARE(finishes, 0);

    // A new walk starts afresh: an emptied queue, ids from 1.
    reader.begin(root);
    while (reader.readSome(2)) {
    }
    QCOMPARE(ids, (QList<int>{1, 2, 3, 1, 2, 3, 4, 5}));
    QCOMPARE(finishes, 1);
}

void TestImageReader::skipsHiddenFilesAndFolders()
{
    writePicture(root + QStringLiteral("/.隐藏/图.png"), 1500, 600);
    writePicture(root + QStringLiteral("/.图.png"), 10, 10);
    const QString visible = writePicture(root + QStringLiteral("/可见.png"), 1500, 600);

    const Run run = read(root);

    QCOMPARE(run.ids, QList<int>{1});
    QCOMPARE(findImageById(1).path, visible);
    QVERIFY(findImageById(2).path.isEmpty());
    QVERIFY2(scanDiagnostics.isEmpty(), qPrintable(scanDiagnostics.join(QLatin1Char('\n'))));
}

void TestImageReader::emptyFolderGivesOnlyFinishRead_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("empty folder") << true;
    QTest::newRow("missing folder") << false;
}

void TestImageReader::emptyFolderGivesOnlyFinishRead()
{
    QFETCH(bool, exists);
    insertImage(1, QStringLiteral("旧.png"), QStringLiteral("/earlier/旧.png"));
    const QString folder = picturesDir->filePath(QStringLiteral("空"));
    if (exists)
        QVERIFY(QDir().mkpath(folder));

    const Run run = read(folder);

    QCOMPARE(run.finishes, 1);
    QVERIFY(run.ids.isEmpty());
    QVERIFY(findImageById(1).path.isEmpty());
}

void TestImageReader::newRunRestartsIdsOnEmptiedQueue()
{
    const QString first = picturesDir->filePath(QStringLiteral("一"));
    const QString second = picturesDir->filePath(QStringLiteral("二"));
    writePicture(first + QStringLiteral("/甲.png"), 1500, 600);
    writePicture(first + QStringLiteral("/乙.png"), 1500, 600);
    const QString only = writePicture(second + QStringLiteral("/丙.png"), 1500, 600);

    ImageReader reader;
    QSignalSpy selected(&reader, &ImageReader::readImage);
    reader.read(first);
    QCOMPARE(reader.property("total").toInt(), 2);
    reader.read(second);

    QCOMPARE(selected.size(), 3);
    QCOMPARE(selected.at(2).at(0).toInt(), 1);
    QCOMPARE(reader.property("total").toInt(), 1);
    QCOMPARE(findImageById(1).path, only);
    QVERIFY(findImageById(2).path.isEmpty());
}

void TestImageReader::folderLinkCycleIsWalkedOnce()
{
    const QString picture = writePicture(root + QStringLiteral("/x/图.png"), 1500, 600);
    QVERIFY(QFile::link(root, root + QStringLiteral("/x/回到上层")));
    QVERIFY(QFile::link(root + QStringLiteral("/x"), root + QStringLiteral("/y")));

    const Run run = read(root);

    QCOMPARE(run.finishes, 1);
    QCOMPARE(run.ids, QList<int>{1});
    QCOMPARE(findImageById(1).path, picture);
}

void TestImageReader::secondReadDuringRunIsRefused()
{
    writePicture(root + QStringLiteral("/甲.png"), 1500, 600);
    writePicture(root + QStringLiteral("/乙.png"), 1500, 600);
    const QString other = dataDir->filePath(QStringLiteral("其他"));
    writePicture(other + QStringLiteral("/丙.png"), 1500, 600);

    ImageReader reader;
    QList<int> ids;
    int finishes = 0;
    connect(&reader, &ImageReader::readImage, this, [&](int id) {
        ids.append(id);
        reader.read(other);
    });
    connect(&reader, &ImageReader::finishRead, this, [&finishes] { ++finishes; });
    reader.read(root);

    QCOMPARE(ids, (QList<int>{1, 2}));
    QCOMPARE(finishes, 1);
    QCOMPARE(findImageById(2).name, QStringLiteral("甲.png"));
}

void TestImageReader::specialFileIsSkippedWithoutBlocking()
{
#ifdef Q_OS_UNIX
    // The folder listing leaves pipes out, but a link with a picture suffix that
    // points at one is listed, and the walk meets a file that is no regular file.
    const QString fifo = root + QStringLiteral("/管道.png");
    const QString link = root + QStringLiteral("/链接.png");
    QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(QFile::link(fifo, link));
    const PipeWatch watch(fifo);

    const Run run = read(root);

    QCOMPARE(run.finishes, 1);
    QVERIFY(run.ids.isEmpty());
    QCOMPARE(scanDiagnostics, QStringList{diagnostic(TOO_SMALL, QFileInfo(link).absoluteFilePath())});
    // Opening the pipe for its header would have waited for a writer.
    QVERIFY(!watch.readerSeen());

    // Asked directly, the pipe is no picture either, and is not opened.
    QVERIFY(!pictureSize(fifo).isValid());
    QVERIFY(!watch.readerSeen());
#else
    QSKIP("named pipes are a Unix feature");
#endif
}

QTEST_MAIN(TestImageReader)
#include "tst_imagereader.moc"
