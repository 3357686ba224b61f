#include "picturefiles.h"
#include "storagestandin.h"

#include "api/api.h"
#include "storage/ossapi.h"
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/upload2widget.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString HINT = QStringLiteral(
    "请选择目录后点击上传图片（后缀：.jpeg,.jpg,.png,.gif；宽高和大于：2000；文件名：含中文）");
const QString READY = QStringLiteral("准备就绪...");

QString counters(int total, int exists, int error, int success)
{
    return QStringLiteral("总图片：%1 已经存在：%2 上传失败：%3 上传成功:%4")
        .arg(total).arg(exists).arg(error).arg(success);
}

// Statuses of the queue rows, keyed by id.
QMap<int, QString> statuses()
{
    QMap<int, QString> result;
    QSqlQuery query(QStringLiteral("select id, status from image"));
    while (query.next())
        result.insert(query.value(0).toInt(), query.value(1).toString());
    return result;
}

} // namespace

class TestUpload2Widget : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void freshPageShowsHintUntilFirstLogLine();
    void runReportsEachOutcome();
    void unconfirmedRegistrationStaysAtStorageSuccess();
    void unreadablePictureEndsAsFailureWithoutRequests_data();
    void unreadablePictureEndsAsFailureWithoutRequests();
    void logKeepsLast101Lines();
    void logShowsPathsAsPlainText();
    void cancelledDialogEmptiesFieldAndEnablesStart();
    void missingFolderOpensDialogAtWorkingDirectory();
    void secondStartDuringScanIsRefused();

private:
    QString picture(const QString &name, QColor colour);
    void startRun(const QString &folder);
    QStringList logLines() const;
    QLabel *infoLabel() const;
    QPushButton *startButton() const;
    QStringList linesFor(const QString &path) const;
    // Closes the next modal folder dialog once it shows, after inspecting it.
    void rejectNextDialog(std::function<void(QFileDialog *)> inspect);

    StorageStandIn standIn;
    std::unique_ptr<Api> api;
    std::unique_ptr<OSSApi> ossApi;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<QTemporaryDir> picturesDir;
    std::unique_ptr<Upload2Widget> page;
};

void TestUpload2Widget::initTestCase()
{
    standIn.install();
    api = std::make_unique<Api>();
    ossApi = std::make_unique<OSSApi>();
}

void TestUpload2Widget::init()
{
    dataDir = std::make_unique<QTemporaryDir>();
    picturesDir = std::make_unique<QTemporaryDir>();
    QVERIFY(dataDir->isValid());
    QVERIFY(picturesDir->isValid());
    openDatabase(dataDir->path());
    standIn.reset();
    page = std::make_unique<Upload2Widget>(api.get(), ossApi.get());
}

void TestUpload2Widget::cleanup()
{
    page.reset();
    picturesDir.reset();
    dataDir.reset();
}

QString TestUpload2Widget::picture(const QString &name, QColor colour)
{
    return writePicture(picturesDir->filePath(name), 1500, 600, colour);
}

void TestUpload2Widget::startRun(const QString &folder)
{
    page->findChild<QLineEdit *>()->setText(folder);
    page->clickUpload();
}

QStringList TestUpload2Widget::logLines() const
{
    return page->findChild<QTextEdit *>()->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QLabel *TestUpload2Widget::infoLabel() const
{
    for (QLabel *label : page->findChildren<QLabel *>()) {
        if (!label->buddy())
            return label;
    }
    return nullptr;
}

QPushButton *TestUpload2Widget::startButton() const
{
    for (QPushButton *button : page->findChildren<QPushButton *>()) {
        if (button->text() == QStringLiteral("开始上传"))
            return button;
    }
    return nullptr;
}

QStringList TestUpload2Widget::linesFor(const QString &path) const
{
    QStringList lines;
    for (const QString &line : logLines()) {
        if (line.endsWith(QStringLiteral("：") + path))
            lines.append(line.chopped(path.size()));
    }
    return lines;
}

void TestUpload2Widget::rejectNextDialog(std::function<void(QFileDialog *)> inspect)
{
    auto *timer = new QTimer(page.get());
    connect(timer, &QTimer::timeout, page.get(), [timer, inspect] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->deleteLater();
        inspect(dialog);
        dialog->reject();
    });
    timer->start(10);
}

void TestUpload2Widget::freshPageShowsHintUntilFirstLogLine()
{
    QLabel *label = infoLabel();
    QVERIFY(label);
    auto *log = page->findChild<QTextEdit *>();
    QCOMPARE(label->text(), HINT);
    QVERIFY(log->toPlainText().isEmpty());
    auto *field = page->findChild<QLineEdit *>();
    QCOMPARE(field->width(), 400);
    QCOMPARE(field->focusPolicy(), Qt::NoFocus);
    QCOMPARE(log->focusPolicy(), Qt::NoFocus);
    QStringList texts;
    for (const QLabel *other : page->findChildren<QLabel *>()) {
        if (other->buddy() == field)
            texts.append(other->text());
    }
    for (const QPushButton *button : page->findChildren<QPushButton *>())
        texts.append(button->text() + (button->isEnabled() ? QString() : QStringLiteral(" (disabled)")));
    texts.sort();
    QCOMPARE(texts, (QStringList{QStringLiteral("图片目录："), QStringLiteral("开始上传 (disabled)"),
                                 QStringLiteral("浏览...")}));

    page->finishRead();

    QCOMPARE(log->toPlainText(), READY + QStringLiteral("\n图片读取完毕！\n"));
    QCOMPARE(label->text(), counters(0, 0, 0, 0));
}

void TestUpload2Widget::runReportsEachOutcome()
{
    const QString stored = picture(QStringLiteral("一已存.png"), Qt::red);
    const QString fresh = picture(QStringLiteral("二新图.png"), Qt::green);
    const QString failing = picture(QStringLiteral("三失败.png"), Qt::blue);
    standIn.stored.insert(fileMd5Hex(stored));
    standIn.failingUploads.insert(fileMd5Hex(failing));

    startRun(picturesDir->path());

    QTRY_COMPARE(infoLabel()->text(), counters(3, 1, 1, 1));
    // Listed by code point: 一 U+4E00, 三 U+4E09, 二 U+4E8C.
    QTRY_COMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_OSS_FAILED}, {3, STATUS_UPLOADED}}));
    QCOMPARE(page->property("total").toInt(), 3);
    QCOMPARE(page->property("exists").toInt(), 1);
    QCOMPARE(page->property("error").toInt(), 1);
    QCOMPARE(page->property("success").toInt(), 1);

    QCOMPARE(linesFor(stored), (QStringList{QStringLiteral("开始上传："), QStringLiteral("图片已存在：")}));
    QCOMPARE(linesFor(fresh), (QStringList{QStringLiteral("开始上传："), QStringLiteral("发送图片："),
                                           QStringLiteral("发送成功："), QStringLiteral("上传成功：")}));
    QCOMPARE(linesFor(failing),
             (QStringList{QStringLiteral("开始上传："), QStringLiteral("发送图片："), QStringLiteral("发送失败：")}));
    QCOMPARE(logLines().first(), READY);
    QCOMPARE(logLines().count(QStringLiteral("图片读取完毕！")), 1);

    // Each picture is probed under its MD5; only absent ones are sent, and only
    // the stored one is registered, under its file name.
    QCOMPARE(QSet<QString>(standIn.probes.cbegin(), standIn.probes.cend()),
             (QSet<QString>{fileMd5Hex(stored), fileMd5Hex(fresh), fileMd5Hex(failing)}));
    QCOMPARE(standIn.probes.size(), 3);
    QCOMPARE(QSet<QString>(standIn.uploads.cbegin(), standIn.uploads.cend()),
             (QSet<QString>{fileMd5Hex(fresh), fileMd5Hex(failing)}));
    QCOMPARE(standIn.uploads.size(), 2);
    QCOMPARE(standIn.registrations,
             (QList<QPair<QString, QString>>{{fileMd5Hex(fresh), QStringLiteral("二新图.png")}}));
    QVERIFY2(standIn.deepestLoopLevel <= 2, QByteArray::number(standIn.deepestLoopLevel).constData());
}

void TestUpload2Widget::unconfirmedRegistrationStaysAtStorageSuccess()
{
    const QString refused = picture(QStringLiteral("四拒绝.png"), Qt::yellow);
    standIn.refusedRegistrations.insert(fileMd5Hex(refused));

    startRun(picturesDir->path());

    QTRY_COMPARE(standIn.registrations.size(), 1);
    QTRY_COMPARE(linesFor(refused),
                 (QStringList{QStringLiteral("开始上传："), QStringLiteral("发送图片："), QStringLiteral("发送成功：")}));
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_OSS_DONE}}));
    // The refusal arrives after the last log line; give it time to change anything.
    QTest::qWait(100);
    QCOMPARE(infoLabel()->text(), counters(1, 0, 0, 0));
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_OSS_DONE}}));
}

void TestUpload2Widget::unreadablePictureEndsAsFailureWithoutRequests_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file removed after the scan") << "removed";
    QTest::newRow("path is a folder") << "folder";
    QTest::newRow("queue row missing") << "no row";
}

void TestUpload2Widget::unreadablePictureEndsAsFailureWithoutRequests()
{
    QFETCH(QString, kind);
    const QString path = picturesDir->filePath(QStringLiteral("不见了.png"));
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    if (kind != QLatin1String("no row"))
        insertImage(1, QStringLiteral("不见了.png"), path);

    page->readImage(1);

    const QString expectedLine = kind == QLatin1String("no row") ? QStringLiteral("找不到图片记录：1")
                                                                  : QStringLiteral("读取失败：") + path;
    QCOMPARE(logLines(), (QStringList{READY, expectedLine}));
    QCOMPARE(infoLabel()->text(), counters(1, 0, 1, 0));
    if (kind != QLatin1String("no row"))
        QCOMPARE(findImageById(1).status, QStringLiteral("读取失败"));
    QTest::qWait(100);
    QCOMPARE(standIn.server.requestCount(), 0);
}

void TestUpload2Widget::logKeepsLast101Lines()
{
    // Each missing row writes one distinct line.
    for (int id = 1; id <= 150; ++id)
        page->readImage(id);

    const QStringList lines = logLines();
    QCOMPARE(lines.size(), 101);
    QCOMPARE(lines.first(), QStringLiteral("找不到图片记录：50"));
    QCOMPARE(lines.last(), QStringLiteral("找不到图片记录：150"));
    auto *log = page->findChild<QTextEdit *>();
    QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
}

void TestUpload2Widget::logShowsPathsAsPlainText()
{
    const QString path = picturesDir->filePath(QStringLiteral("<b>粗体</b>\n第二行.png"));
    insertImage(1, QStringLiteral("<b>粗体</b>\n第二行.png"), path);

    page->readImage(1);
    auto *log = page->findChild<QTextEdit *>();
    QCOMPARE(log->toPlainText(), READY + QStringLiteral("\n读取失败：") + path + QStringLiteral("\n"));

    // Once the two-line entry leaves the window, exactly it is gone.
    for (int id = 2; id <= 101; ++id)
        page->readImage(id);
    QCOMPARE(logLines().first(), QStringLiteral("读取失败：") + path.section(QLatin1Char('\n'), 0, 0));
    page->readImage(102);
    QStringList expected;
    for (int id = 2; id <= 102; ++id)
        expected.append(QStringLiteral("找不到图片记录：%1").arg(id));
    QCOMPARE(logLines(), expected);
}

void TestUpload2Widget::cancelledDialogEmptiesFieldAndEnablesStart()
{
    auto *field = page->findChild<QLineEdit *>();
    QPushButton *start = startButton();
    QVERIFY(start);
    QVERIFY(!start->isEnabled());
    field->setText(picturesDir->path());

    QString dialogFolder;
    QString caption;
    rejectNextDialog([&](QFileDialog *dialog) {
        dialogFolder = dialog->directory().absolutePath();
        caption = dialog->windowTitle();
    });
    page->clickScan();

    QCOMPARE(dialogFolder, QDir(picturesDir->path()).absolutePath());
    QCOMPARE(caption, QStringLiteral("请选择上传文件夹"));
    QVERIFY(field->text().isEmpty());
    QVERIFY(start->isEnabled());
}

void TestUpload2Widget::missingFolderOpensDialogAtWorkingDirectory()
{
    auto *field = page->findChild<QLineEdit *>();
    const QString gone = picturesDir->filePath(QStringLiteral("已删除"));
    field->setText(gone);
    const QString workingFolder = picturesDir->filePath(QStringLiteral("工作"));
    const QString inWorking = writePicture(workingFolder + QStringLiteral("/当前.png"), 1500, 600);
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(workingFolder));

    QString dialogFolder;
    QString fieldWhileOpen = QStringLiteral("unset");
    rejectNextDialog([&](QFileDialog *dialog) {
        dialogFolder = dialog->directory().absolutePath();
        fieldWhileOpen = field->text();
    });
    page->clickScan();
    QCOMPARE(dialogFolder, QDir(workingFolder).absolutePath());
    QVERIFY(fieldWhileOpen.isEmpty());

    // With the field empty after the cancel, a start scans the working folder.
    page->clickUpload();
    QDir::setCurrent(previous);
    QCOMPARE(findImageById(1).path, inWorking);
    QTRY_COMPARE(statuses().value(1), STATUS_UPLOADED);
}

void TestUpload2Widget::secondStartDuringScanIsRefused()
{
    picture(QStringLiteral("甲.png"), Qt::red);
    picture(QStringLiteral("乙.png"), Qt::green);
    picture(QStringLiteral("丙.png"), Qt::blue);
    page->findChild<QLineEdit *>()->setText(picturesDir->path());
    // The member clicks start again while the first picture is being probed.
    int clicksDuringScan = 0;
    connect(&standIn.server, &TestHttpServer::requestReceived, page.get(), [&] {
        if (clicksDuringScan++ == 0)
            startButton()->click();
    });
    startButton()->setEnabled(true);

    page->clickUpload();

    QVERIFY(clicksDuringScan > 0);
    QTRY_COMPARE(infoLabel()->text(), counters(3, 0, 0, 3));
    QCOMPARE(logLines().count(QStringLiteral("图片读取完毕！")), 1);
    QCOMPARE(standIn.probes.size(), 3);
    QCOMPARE(statuses().size(), 3);

    // Once the scan is over, a start is a new run: counters reset, ids from 1.
    disconnect(&standIn.server, nullptr, page.get(), nullptr);
    standIn.stored = QSet<QString>(standIn.uploads.cbegin(), standIn.uploads.cend());
    page->clickUpload();
    QTRY_COMPARE(infoLabel()->text(), counters(3, 3, 0, 0));
    QCOMPARE(logLines().count(QStringLiteral("图片读取完毕！")), 2);
    QTRY_COMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_EXISTS}, {3, STATUS_EXISTS}}));
}

QTEST_MAIN(TestUpload2Widget)
#include "tst_upload2widget.moc"
