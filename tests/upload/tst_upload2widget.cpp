#include "picturefiles.h"
#include "storagestandin.h"

#include "api/api.h"
#include "storage/ossapi.h"
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/upload2widget.h"
#include "upload/uploadrun.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

namespace {

const QString HINT = QStringLiteral(
    "请选择目录后点击上传图片（后缀：.jpeg,.jpg,.png,.gif；宽高和大于：2000；文件名：含中文）");
const QString READY = QStringLiteral("准备就绪...");
const int RUN_MS = 20000;

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
    void refusedRegistrationCountsAsFailure();
    void logKeepsLast101Lines();
    void logShowsPathsAsPlainText();
    void cancelledDialogEmptiesFieldAndEnablesStart();
    void missingFolderOpensDialogAtWorkingDirectory();
    void startIsRefusedWhileRunning();
    void progressIsBusyWhileWalkingAndFullExactlyAtTheSummary();
    void buttonsFollowTheRun();
    void stopEndsTheRunWithRequestsInFlight();
    void exportWritesEveryPictureAsCsv();

private:
    QString picture(const QString &name, QColor colour);
    void chooseFolder(const QString &folder);
    void startRun(const QString &folder);
    bool waitForEnd();
    QStringList logLines() const;
    QString lastLine() const { return logLines().value(logLines().size() - 1); }
    QStringList linesFor(const QString &path) const;
    // Closes the next modal folder dialog once it shows, after inspecting it.
    void rejectNextDialog(std::function<void(QFileDialog *)> inspect);
    template<typename T>
    T *child(const char *name) const
    {
        return page->findChild<T *>(QLatin1String(name));
    }
    QPushButton *button(const char *name) const { return child<QPushButton>(name); }
    // Enabled buttons, in the order start, stop, retry, export.
    QString enabledButtons() const;

    StorageStandIn standIn;
    std::unique_ptr<Api> api;
    std::unique_ptr<OSSApi> ossApi;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<QTemporaryDir> picturesDir;
    std::unique_ptr<Upload2Widget> page;
    UploadRun *run = nullptr;
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
    run = page->findChild<UploadRun *>(QStringLiteral("uploadRun"));
    QVERIFY(run);
    RunPolicy policy;
    policy.retryDelaysMs = {20, 40, 80};
    run->setPolicy(policy);
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

void TestUpload2Widget::chooseFolder(const QString &folder)
{
    // The folder comes from the dialog; a cancelled one still enables start.
    rejectNextDialog([](QFileDialog *) {});
    page->clickScan();
    child<QLineEdit>("folderEdit")->setText(folder);
}

void TestUpload2Widget::startRun(const QString &folder)
{
    chooseFolder(folder);
    QTest::mouseClick(button("startButton"), Qt::LeftButton);
}

bool TestUpload2Widget::waitForEnd()
{
    return QTest::qWaitFor([this] { return !run->isRunning() && lastLine().contains(QStringLiteral("用时")); },
                           RUN_MS);
}

QStringList TestUpload2Widget::logLines() const
{
    return child<QPlainTextEdit>("logView")->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList TestUpload2Widget::linesFor(const QString &path) const
{
    QStringList lines;
    for (const QString &line : logLines()) {
        const qsizetype at = line.indexOf(QStringLiteral("：") + path);
        if (at >= 0)
            lines.append(line.left(at + 1) + line.mid(at + 1 + path.size()));
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

QString TestUpload2Widget::enabledButtons() const
{
    QStringList enabled;
    for (const char *name : {"startButton", "stopButton", "retryButton", "exportButton"}) {
        if (button(name)->isEnabled())
            enabled.append(button(name)->text());
    }
    return enabled.join(QLatin1Char(' '));
}

void TestUpload2Widget::freshPageShowsHintUntilFirstLogLine()
{
    auto *label = child<QLabel>("infoLabel");
    auto *log = child<QPlainTextEdit>("logView");
    auto *field = child<QLineEdit>("folderEdit");
    QCOMPARE(label->text(), HINT);
    QVERIFY(log->toPlainText().isEmpty());
    QCOMPARE(field->width(), 400);
    QCOMPARE(field->focusPolicy(), Qt::NoFocus);
    QCOMPARE(log->focusPolicy(), Qt::NoFocus);
    QStringList texts;
    for (const QLabel *other : page->findChildren<QLabel *>()) {
        if (other->buddy() == field)
            texts.append(other->text());
    }
    for (const QPushButton *each : page->findChildren<QPushButton *>())
        texts.append(each->text() + (each->isEnabled() ? QString() : QStringLiteral(" (disabled)")));
    texts.sort();
    QCOMPARE(texts, (QStringList{"停止 (disabled)", "图片目录：", "导出结果 (disabled)", "开始上传 (disabled)",
                                 "浏览...", "重试失败 (disabled)"}));

    // An empty folder: the walk's line and the summary are the whole run.
    startRun(picturesDir->path());
    QVERIFY(waitForEnd());
    const QStringList lines = logLines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(0), READY);
    QCOMPARE(lines.at(1), QStringLiteral("图片读取完毕！"));
    QVERIFY2(lines.at(2).startsWith(QStringLiteral("上传完毕：总图片 0，已经存在 0，上传失败 0，上传成功 0，用时 ")),
             qPrintable(lines.at(2)));
    QCOMPARE(label->text(), counters(0, 0, 0, 0));
    QCOMPARE(child<QLabel>("statusLabel")->text(), lines.at(2));
}

void TestUpload2Widget::runReportsEachOutcome()
{
    const QString stored = picture(QStringLiteral("一已存.png"), Qt::red);
    const QString fresh = picture(QStringLiteral("二新图.png"), Qt::green);
    const QString failing = picture(QStringLiteral("三失败.png"), Qt::blue);
    standIn.stored.insert(fileMd5Hex(stored));
    standIn.failingUploads.insert(fileMd5Hex(failing));

    startRun(picturesDir->path());
    QVERIFY(waitForEnd());

    QCOMPARE(child<QLabel>("infoLabel")->text(), counters(3, 1, 1, 1));
    // Listed by code point: 一 U+4E00, 三 U+4E09, 二 U+4E8C.
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_OSS_FAILED}, {3, STATUS_UPLOADED}}));
    QCOMPARE(page->property("total").toInt(), 3);
    QCOMPARE(page->property("exists").toInt(), 1);
    QCOMPARE(page->property("error").toInt(), 1);
    QCOMPARE(page->property("success").toInt(), 1);

    QCOMPARE(linesFor(stored), (QStringList{"开始上传：", "图片已存在："}));
    QCOMPARE(linesFor(fresh), (QStringList{"开始上传：", "发送图片：", "发送成功：", "上传成功："}));
    QCOMPARE(linesFor(failing), (QStringList{"开始上传：", "发送图片：", "发送失败：（HTTP 403）"}));
    QCOMPARE(logLines().first(), READY);
    QCOMPARE(logLines().count(QStringLiteral("图片读取完毕！")), 1);
    QVERIFY(lastLine().startsWith(QStringLiteral("上传完毕：总图片 3，已经存在 1，上传失败 1，上传成功 1，用时 ")));

    // Each picture is probed under its MD5; only absent ones are sent, and only
    // the stored one is registered, under its file name.
    QCOMPARE(QSet<QString>(standIn.probes.cbegin(), standIn.probes.cend()),
             (QSet<QString>{fileMd5Hex(stored), fileMd5Hex(fresh), fileMd5Hex(failing)}));
    QCOMPARE(standIn.probes.size(), 3);
    QCOMPARE(QSet<QString>(standIn.uploads.cbegin(), standIn.uploads.cend()),
             (QSet<QString>{fileMd5Hex(fresh), fileMd5Hex(failing)}));
    QCOMPARE(standIn.uploads.size(), 2);
    QCOMPARE(standIn.registrations, (QList<QPair<QString, QString>>{{fileMd5Hex(fresh), "二新图.png"}}));
    // The page ran no event loop of its own inside a handler.
    QCOMPARE(standIn.deepestLoopLevel, 0);
}

void TestUpload2Widget::refusedRegistrationCountsAsFailure()
{
    const QString refused = picture(QStringLiteral("四拒绝.png"), Qt::yellow);
    standIn.refusedRegistrations.insert(fileMd5Hex(refused));

    startRun(picturesDir->path());
    QVERIFY(waitForEnd());

    QCOMPARE(standIn.registrations.size(), 1);
    QCOMPARE(linesFor(refused), (QStringList{"开始上传：", "发送图片：", "发送成功：", "登记失败：（返回码 9001）"}));
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_REGISTER_FAILED}}));
    QCOMPARE(child<QLabel>("infoLabel")->text(), counters(1, 0, 1, 0));
}

void TestUpload2Widget::logKeepsLast101Lines()
{
    // Each missing row writes one distinct line.
    for (int id = 1; id <= 150; ++id)
        run->readImage(id);

    QStringList expected;
    for (int id = 50; id <= 150; ++id)
        expected.append(QStringLiteral("找不到图片记录：%1").arg(id));
    QTRY_COMPARE(logLines(), expected);
    auto *log = child<QPlainTextEdit>("logView");
    QCOMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
}

void TestUpload2Widget::logShowsPathsAsPlainText()
{
    const QString name = QStringLiteral("<b>粗体</b>\n第二行.png");
    const QString path = picturesDir->filePath(name);
    insertImage(1, name, path);

    run->readImage(1);
    auto *log = child<QPlainTextEdit>("logView");
    QTRY_COMPARE(log->toPlainText(), READY + QStringLiteral("\n读取失败：") + path);

    // The two-line entry is one line of the log: once it leaves the window,
    // exactly it is gone.
    for (int id = 2; id <= 101; ++id)
        run->readImage(id);
    QTRY_COMPARE(logLines().size(), 102);
    QCOMPARE(logLines().first(), QStringLiteral("读取失败：") + path.section(QLatin1Char('\n'), 0, 0));
    run->readImage(102);
    QStringList expected;
    for (int id = 2; id <= 102; ++id)
        expected.append(QStringLiteral("找不到图片记录：%1").arg(id));
    QTRY_COMPARE(logLines(), expected);
}

void TestUpload2Widget::cancelledDialogEmptiesFieldAndEnablesStart()
{
    auto *field = child<QLineEdit>("folderEdit");
    QPushButton *start = button("startButton");
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
    auto *field = child<QLineEdit>("folderEdit");
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

    // With the field empty after the cancel, a start walks the working folder.
    page->clickUpload();
    QTRY_COMPARE(statuses().value(1), STATUS_UPLOADED);
    QDir::setCurrent(previous);
    QCOMPARE(findImageById(1).path, inWorking);
}

void TestUpload2Widget::startIsRefusedWhileRunning()
{
    picture(QStringLiteral("甲.png"), Qt::red);
    picture(QStringLiteral("乙.png"), Qt::green);
    picture(QStringLiteral("丙.png"), Qt::blue);
    // The member tries to start again while the first picture is being probed.
    bool startEnabledDuringRun = true;
    int tries = 0;
    connect(&standIn.server, &TestHttpServer::requestReceived, page.get(), [&] {
        if (tries++ > 0)
            return;
        startEnabledDuringRun = button("startButton")->isEnabled();
        page->clickUpload();
    });

    startRun(picturesDir->path());
    QVERIFY(waitForEnd());

    QVERIFY(tries > 0);
    QVERIFY(!startEnabledDuringRun);
    QCOMPARE(child<QLabel>("infoLabel")->text(), counters(3, 0, 0, 3));
    QCOMPARE(logLines().count(QStringLiteral("图片读取完毕！")), 1);
    QCOMPARE(standIn.probes.size(), 3);

    // Once the run is over, a start is a new run: counters reset, ids from 1.
    disconnect(&standIn.server, nullptr, page.get(), nullptr);
    standIn.stored = QSet<QString>(standIn.uploads.cbegin(), standIn.uploads.cend());
    QTest::mouseClick(button("startButton"), Qt::LeftButton);
    QTRY_COMPARE(child<QLabel>("infoLabel")->text(), counters(3, 3, 0, 0));
    QTRY_COMPARE(logLines().count(QStringLiteral("图片读取完毕！")), 2);
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_EXISTS}, {3, STATUS_EXISTS}}));
}

void TestUpload2Widget::progressIsBusyWhileWalkingAndFullExactlyAtTheSummary()
{
    const QByteArray png = pngBytes(1500, 600);
    const int pictures = 40;
    for (int i = 0; i < pictures; ++i)
        writeFile(picturesDir->filePath(QStringLiteral("进度%1.png").arg(i, 2, 10, QLatin1Char('0'))),
                  png + QByteArray::number(i));
    auto *bar = child<QProgressBar>("progressBar");
    // Shown on screen: the bar full while no summary is shown would be wrong,
    // and so would a summary beside a bar that is not full.
    int fullWithoutSummary = 0;
    QList<int> values;
    QTimer watcher;
    connect(&watcher, &QTimer::timeout, page.get(), [&] {
        const bool full = bar->maximum() > 0 && bar->value() == bar->maximum();
        const bool summary = lastLine().contains(QStringLiteral("用时"));
        if (full && !summary)
            ++fullWithoutSummary;
        if (bar->maximum() > 0)
            values.append(bar->value());
    });

    chooseFolder(picturesDir->path());
    QTest::mouseClick(button("startButton"), Qt::LeftButton);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 0); // still finding pictures: busy, no figure
    watcher.start(5);
    QVERIFY(waitForEnd());
    watcher.stop();

    QCOMPARE(bar->maximum(), pictures);
    QCOMPARE(bar->value(), pictures);
    QCOMPARE(fullWithoutSummary, 0);
    QVERIFY(!values.isEmpty());
    QVERIFY(std::is_sorted(values.cbegin(), values.cend()));
}

void TestUpload2Widget::buttonsFollowTheRun()
{
    const QString failing = picture(QStringLiteral("会失败.png"), Qt::red);
    picture(QStringLiteral("会成功.png"), Qt::green);
    standIn.script(StorageStandIn::Upload, fileMd5Hex(failing),
                   {ScriptedResponse::withStatus(403), ScriptedResponse::withStatus(204)});
    QCOMPARE(enabledButtons(), QString());

    chooseFolder(picturesDir->path());
    QCOMPARE(enabledButtons(), QStringLiteral("开始上传"));
    QTest::mouseClick(button("startButton"), Qt::LeftButton);
    QCOMPARE(enabledButtons(), QStringLiteral("停止"));
    QVERIFY(waitForEnd());
    QCOMPARE(enabledButtons(), QStringLiteral("开始上传 重试失败 导出结果"));

    QTest::mouseClick(button("retryButton"), Qt::LeftButton);
    QCOMPARE(enabledButtons(), QStringLiteral("停止"));
    QTRY_VERIFY(!run->isRunning());
    QCOMPARE(enabledButtons(), QStringLiteral("开始上传 导出结果"));
    QCOMPARE(child<QLabel>("infoLabel")->text(), counters(2, 0, 0, 2));
    QVERIFY(lastLine().startsWith(QStringLiteral("上传完毕：总图片 2，已经存在 0，上传失败 0，上传成功 2，")));
}

void TestUpload2Widget::stopEndsTheRunWithRequestsInFlight()
{
    const QByteArray png = pngBytes(1500, 600);
    for (int i = 0; i < 10; ++i)
        writeFile(picturesDir->filePath(QStringLiteral("停%1.png").arg(i)), png + QByteArray::number(i));
    standIn.answerAll(StorageStandIn::Upload, ScriptedResponse::hanging());

    startRun(picturesDir->path());
    QTRY_COMPARE(standIn.server.inFlight("zamtu.oss.zamtu.test"), 6);
    QTest::mouseClick(button("stopButton"), Qt::LeftButton);

    QVERIFY(waitForEnd());
    QVERIFY2(lastLine().startsWith(QStringLiteral("上传已停止：总图片 10，已经存在 0，上传失败 0，上传成功 0，已停止 10，")),
             qPrintable(lastLine()));
    for (const QString &status : statuses())
        QCOMPARE(status, STATUS_STOPPED);
    QCOMPARE(enabledButtons(), QStringLiteral("开始上传 重试失败 导出结果"));
    QCOMPARE(child<QProgressBar>("progressBar")->value(), 10);
    QTRY_COMPARE(standIn.server.inFlight("zamtu.oss.zamtu.test") + standIn.server.inFlight("img.zamtu.test"), 0);
    const int sent = standIn.server.requestCount();
    QTest::qWait(100); // time for a stray request to arrive
    QCOMPARE(standIn.server.requestCount(), sent);
}

void TestUpload2Widget::exportWritesEveryPictureAsCsv()
{
    const QString good = picture(QStringLiteral("红烧肉.png"), Qt::red);
    const QString bad = picture(QStringLiteral("糖醋, \"鱼\".png"), Qt::green);
    standIn.failingUploads.insert(fileMd5Hex(bad));
    startRun(picturesDir->path());
    QVERIFY(waitForEnd());

    const QString target = picturesDir->filePath(QStringLiteral("结果.csv"));
    QTest::mouseClick(button("exportButton"), Qt::LeftButton);
    auto *dialog = page->findChild<QFileDialog *>(QStringLiteral("exportDialog"));
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->isVisible());
    dialog->selectFile(target);
    QMetaObject::invokeMethod(dialog, "accept");
    QTRY_VERIFY(QFile::exists(target));

    // By id: 糖 U+7CD6 before 红 U+7EA2.
    const QByteArray expected = "\xEF\xBB\xBF"
                                "编号,文件名,路径,MD5,状态,原因\r\n"
        "1,\"糖醋, \"\"鱼\"\".png\",\"" + bad.toUtf8().replace("\"", "\"\"") + "\"," + fileMd5Hex(bad).toUtf8()
        + ",OSS失败,HTTP 403\r\n"
          "2,红烧肉.png," + good.toUtf8() + "," + fileMd5Hex(good).toUtf8() + ",上传成功,\r\n";
    QCOMPARE(readFile(target), expected);
    QVERIFY(child<QLabel>("statusLabel")->text().startsWith(QStringLiteral("已导出：")));
}

QTEST_MAIN(TestUpload2Widget)
#include "tst_upload2widget.moc"
