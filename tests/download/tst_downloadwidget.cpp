#include "api/api.h"
#include "base/constants.h"
#include "base/runpolicy.h"
#include "base/transferoutcome.h"
#include "download/downloadrun.h"
#include "download/downloadwidget.h"
#include "storage/ossapi.h"

#include "testhttpserver.h"
#include "testsupport.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using Data = QList<QPair<QString, QString>>;

namespace {

const QByteArray PICTURE_PREFIX = "http://img.zamtu.test/";
const QString SPREADSHEET_URI = QStringLiteral("/files/sheet.xls");
const QByteArray SPREADSHEET_BYTES = "spreadsheet\x00\x01\xff bytes";
const int SETTLE_MS = 5000;

QString md5Of(char c)
{
    return QString(32, QLatin1Char(c));
}

QByteArray pictureBytes(const QByteArray &key)
{
    return "JPEG:" + key + QByteArray(1000, 'p');
}

QByteArray replyBody(const Data &data)
{
    QByteArray body = "code=0000";
    for (const auto &pair : data)
        body += '&' + pair.first.toUtf8() + '=' + pair.second.toUtf8();
    return body;
}

// Every file and folder below root, relative to it, sorted.
QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(QDir(root).relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// The notice boxes on screen: visible top-level message boxes.
QList<QMessageBox *> visibleBoxes()
{
    QList<QMessageBox *> boxes;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *box = qobject_cast<QMessageBox *>(widget); box && box->isVisible())
            boxes.append(box);
    }
    return boxes;
}

QStringList boxTexts()
{
    QStringList texts;
    for (const QMessageBox *box : visibleBoxes())
        texts.append(box->text());
    return texts;
}

// The summary with its seconds blanked out: "用时 X 秒".
QString withoutSeconds(QString summary)
{
    static const QRegularExpression seconds("用时 \\d+\\.\\d 秒");
    return summary.replace(seconds, "用时 X 秒");
}

} // namespace

class TestDownloadWidget : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void pageShowsControlsAndTable();
    void numberDataBuildsRowsAndFolders_data();
    void numberDataBuildsRowsAndFolders();
    void rowsSharingOnePathEndWithLastFinishedPicture();
    void eachRowShowsItsOwnOutcome();
    void startIsRefusedWhileRunning();
    void stoppedRunLeavesNewTableAlone();
    void refusedNumberLeavesTableEmpty();
    void hostileNamesNeverLeaveFolder_data();
    void hostileNamesNeverLeaveFolder();
    void spreadsheetUsesFolderFieldAtAnswer();
    void startRefusesEmptyOrMissingFolder_data();
    void startRefusesEmptyOrMissingFolder();
    void answerRefusedWhenFolderGoneMeanwhile_data();
    void answerRefusedWhenFolderGoneMeanwhile();
    void cancelledChooserEmptiesFolderField();

    void progressBarFollowsTheRun();
    void buttonsFollowStartStopEndAndRetry();
    void stopButtonCallsOffTheRun();
    void exportWritesResultsAsCsv();

private:
    void setNumber(const QString &no, const Data &data, int delayMs = 0);
    void setPicture(const QString &key, const ScriptedResponse &response);
    void start(const QString &no, const QString &folder);
    void click(const char *button);
    QStringList pictureRequests() const;
    int spreadsheetRequests() const;
    int numberRequests() const;
    QStringList statusColumn() const;
    QStringList enabledRunButtons() const;
    QString statusText() const;
    QString cell(int row, int column) const;
    QString folderPath(const QString &category, const QString &name) const;

    TestHttpServer server;
    QHash<QString, ScriptedResponse> numbers;
    QHash<QByteArray, ScriptedResponse> pictures;
    ScriptedResponse sheetResponse;

    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<Api> api;
    std::unique_ptr<OSSApi> ossApi;
    std::unique_ptr<DownloadWidget> page;
    QLineEdit *numberEdit = nullptr;
    QLineEdit *dirEdit = nullptr;
    QPushButton *startButton = nullptr;
    QProgressBar *progressBar = nullptr;
    QLabel *statusLabel = nullptr;
    DownloadRun *run = nullptr;
    QStandardItemModel *model = nullptr;
};

void TestDownloadWidget::initTestCase()
{
    // The picture host is a .test name: reach it through the test server as
    // an HTTP proxy. The site itself is on loopback, which bypasses the proxy.
    qputenv("http_proxy", server.baseUrl().toLatin1());
    writeSiteConfig(server.baseUrl());

    server.setHandler([this](const RecordedRequest &request) {
        if (request.target.startsWith(PICTURE_PREFIX)) {
            const QByteArray key = QUrl::fromPercentEncoding(request.target.mid(PICTURE_PREFIX.size())).toUtf8();
            return pictures.value(key, ScriptedResponse::ok(pictureBytes(key)));
        }
        if (request.target == SPREADSHEET_URI.toUtf8())
            return sheetResponse;
        const QByteArray numberQuery = "/index.php?m=api&f=download&no=";
        if (request.target.startsWith(numberQuery)) {
            const QString no = QUrl::fromPercentEncoding(request.target.mid(numberQuery.size()));
            return numbers.value(no, ScriptedResponse::ok("code=1003"));
        }
        return ScriptedResponse::withStatus(404);
    });
}

void TestDownloadWidget::init()
{
    server.clear();
    numbers.clear();
    pictures.clear();
    sheetResponse = ScriptedResponse::ok(SPREADSHEET_BYTES);
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    api = std::make_unique<Api>();
    ossApi = std::make_unique<OSSApi>();
    page = std::make_unique<DownloadWidget>(api.get(), ossApi.get());
    numberEdit = page->findChild<QLineEdit *>(QStringLiteral("numberEdit"));
    dirEdit = page->findChild<QLineEdit *>(QStringLiteral("dirEdit"));
    startButton = page->findChild<QPushButton *>(QStringLiteral("startButton"));
    progressBar = page->findChild<QProgressBar *>(QStringLiteral("progressBar"));
    statusLabel = page->findChild<QLabel *>(QStringLiteral("statusLabel"));
    run = page->findChild<DownloadRun *>(QStringLiteral("downloadRun"));
    auto *view = page->findChild<QTableView *>(QStringLiteral("tableView"));
    QVERIFY(numberEdit && dirEdit && startButton && progressBar && statusLabel && run && view);
    model = qobject_cast<QStandardItemModel *>(view->model());
    QVERIFY(model);
    // Retries follow at once rather than after seconds.
    RunPolicy quick;
    quick.retryDelaysMs = {10, 20, 40};
    run->setPolicy(quick);
}

void TestDownloadWidget::cleanup()
{
    // A box left open would keep the next one with its text from showing.
    for (QMessageBox *box : visibleBoxes())
        box->done(QMessageBox::Ok);
    page.reset();
    ossApi.reset();
    api.reset();
    tempDir.reset();
}

void TestDownloadWidget::setNumber(const QString &no, const Data &data, int delayMs)
{
    ScriptedResponse response = ScriptedResponse::ok(replyBody(data));
    response.delayMs = delayMs;
    numbers.insert(no, response);
}

void TestDownloadWidget::setPicture(const QString &key, const ScriptedResponse &response)
{
    pictures.insert(key.toUtf8(), response);
}

void TestDownloadWidget::start(const QString &no, const QString &folder)
{
    numberEdit->setText(no);
    dirEdit->setText(folder);
    QTest::mouseClick(startButton, Qt::LeftButton);
}

void TestDownloadWidget::click(const char *button)
{
    auto *widget = page->findChild<QPushButton *>(QString::fromLatin1(button));
    QVERIFY2(widget, button);
    QTest::mouseClick(widget, Qt::LeftButton);
}

QStringList TestDownloadWidget::pictureRequests() const
{
    QStringList keys;
    for (const RecordedRequest &request : server.requests()) {
        if (request.target.startsWith(PICTURE_PREFIX))
            keys.append(QUrl::fromPercentEncoding(request.target.mid(PICTURE_PREFIX.size())));
    }
    keys.sort();
    return keys;
}

int TestDownloadWidget::spreadsheetRequests() const
{
    return int(std::count_if(server.requests().cbegin(), server.requests().cend(),
                             [](const RecordedRequest &r) { return r.target == SPREADSHEET_URI.toUtf8(); }));
}

int TestDownloadWidget::numberRequests() const
{
    return int(std::count_if(server.requests().cbegin(), server.requests().cend(), [](const RecordedRequest &r) {
        return r.target.startsWith("/index.php?m=api&f=download&no=");
    }));
}

QStringList TestDownloadWidget::statusColumn() const
{
    QStringList statuses;
    for (int r = 0; r < model->rowCount(); ++r)
        statuses.append(cell(r, 4));
    return statuses;
}

// The run's buttons that can be pressed now, by object name.
QStringList TestDownloadWidget::enabledRunButtons() const
{
    QStringList names;
    for (const char *name : {"startButton", "stopButton", "retryButton", "exportButton"}) {
        const auto *button = page->findChild<QPushButton *>(QString::fromLatin1(name));
        if (button && button->isEnabled())
            names.append(QString::fromLatin1(name));
    }
    return names;
}

QString TestDownloadWidget::statusText() const
{
    return withoutSeconds(statusLabel->text());
}

QString TestDownloadWidget::cell(int row, int column) const
{
    const QStandardItem *item = model->item(row, column);
    return item ? item->text() : QStringLiteral("<none>");
}

QString TestDownloadWidget::folderPath(const QString &category, const QString &name) const
{
    const QString sep = QDir::separator();
    return tempDir->path() + sep + category + sep + name + QStringLiteral(".jpg");
}

void TestDownloadWidget::pageShowsControlsAndTable()
{
    QStringList labels;
    for (const QLabel *label : page->findChildren<QLabel *>())
        labels.append(label->text());
    QCOMPARE(labels, (QStringList{QStringLiteral("下载编号："), QStringLiteral("下载目录："), QString()}));
    const QList<QLabel *> labelWidgets = page->findChildren<QLabel *>();
    QCOMPARE(labelWidgets.at(0)->buddy(), numberEdit);
    QCOMPARE(labelWidgets.at(1)->buddy(), dirEdit);
    QCOMPARE(labelWidgets.at(2), statusLabel);

    QCOMPARE(numberEdit->minimumWidth(), 120);
    QCOMPARE(numberEdit->maximumWidth(), 120);
    QCOMPARE(dirEdit->maximumWidth(), 150);
    QVERIFY(numberEdit->text().isEmpty() && dirEdit->text().isEmpty());

    QStringList buttons;
    for (const QPushButton *button : page->findChildren<QPushButton *>())
        buttons.append(button->text());
    QCOMPARE(buttons, (QStringList{QStringLiteral("浏览..."), QStringLiteral("打开存储目录"),
                                   QStringLiteral("开始下载"), QStringLiteral("停止"), QStringLiteral("重试失败"),
                                   QStringLiteral("导出结果")}));
    QStringList names;
    for (const QPushButton *button : page->findChildren<QPushButton *>())
        names.append(button->objectName());
    QCOMPARE(names, (QStringList{"browseButton", "openButton", "startButton", "stopButton", "retryButton",
                                 "exportButton"}));
    QCOMPARE(enabledRunButtons(), QStringList{"startButton"});
    QCOMPARE(progressBar->value(), 0);
    QVERIFY(progressBar->maximum() > 0);

    auto *view = page->findChild<QTableView *>();
    QCOMPARE(model->columnCount(), 5);
    QStringList headers;
    for (int c = 0; c < model->columnCount(); ++c)
        headers.append(model->headerData(c, Qt::Horizontal).toString());
    QCOMPARE(headers, (QStringList{QStringLiteral("分类"), QStringLiteral("菜名"), QStringLiteral("存储路径"),
                                   QStringLiteral("MD5"), QStringLiteral("状态")}));
    QCOMPARE(view->columnWidth(2), 400);
    QCOMPARE(view->columnWidth(3), 0);
    QVERIFY(!view->isColumnHidden(3));
    QCOMPARE(view->editTriggers(), QAbstractItemView::NoEditTriggers);
}

void TestDownloadWidget::numberDataBuildsRowsAndFolders_data()
{
    QTest::addColumn<Data>("data");
    QTest::addColumn<QStringList>("rows");     // category|name|md5|final status
    QTest::addColumn<QStringList>("fetched");  // picture keys requested
    QTest::addColumn<QStringList>("entries");  // what the folder holds at the end

    const QString a = md5Of('a');
    const QString b = md5Of('b');
    const QString uri = SPREADSHEET_URI;

    QTest::newRow("category 0 missing")
        << Data{{"uri", uri}, {"name0", "x"}, {"md50", a}, {"category1", "c"}, {"name1", "y"}, {"md51", b}}
        << QStringList() << QStringList() << QStringList{"N1.xls"};
    QTest::newRow("category 0 empty")
        << Data{{"uri", uri}, {"category0", ""}, {"name0", "x"}, {"md50", a}}
        << QStringList() << QStringList() << QStringList{"N1.xls"};
    QTest::newRow("stops at first empty category")
        << Data{{"uri", uri}, {"category0", "热菜"}, {"name0", "红烧肉"}, {"md50", a},
                {"category1", "凉菜"}, {"name1", "拍黄瓜"}, {"md51", b},
                {"category2", ""}, {"name2", "z"}, {"md52", md5Of('c')},
                {"category3", "汤"}, {"name3", "w"}, {"md53", md5Of('d')}}
        << QStringList{"热菜|红烧肉|" + a + "|下载成功", "凉菜|拍黄瓜|" + b + "|下载成功"}
        << QStringList{a, b}
        << QStringList{"N1.xls", "凉菜", "凉菜/拍黄瓜.jpg", "热菜", "热菜/红烧肉.jpg"};
    QTest::newRow("markers keep status, folders made, nothing fetched")
        << Data{{"category0", "主食"}, {"name0", "米饭"}, {"md50", "MIAN"},
                {"category1", "点心"}, {"name1", "包子"}, {"md51", "NO_IMAGE"},
                {"category2", "汤"}, {"name2", "鱼汤"}, {"md52", a},
                {"category3", "点心"}, {"name3", "mian"}, {"md53", "mian"}}
        << QStringList{"主食|米饭|MIAN|免图", "点心|包子|NO_IMAGE|暂不配图", "汤|鱼汤|" + a + "|下载成功",
                       "点心|mian|mian|准备下载"}
        << QStringList{a}
        << QStringList{"主食", "汤", "汤/鱼汤.jpg", "点心"};
    QTest::newRow("md5 not 32 long is never fetched")
        << Data{{"category0", "c"}, {"name0", "short"}, {"md50", a.left(31)},
                {"category1", "c"}, {"name1", "long"}, {"md51", a + "0"},
                {"category2", "c"}, {"name2", "empty"}, {"md52", ""},
                {"category3", "c"}, {"name3", "odd key"}, {"md53", QString(32, QChar(0x4e2d))}}
        << QStringList{"c|short|" + a.left(31) + "|准备下载", "c|long|" + a + "0|准备下载",
                       "c|empty||准备下载", "c|odd key|" + QString(32, QChar(0x4e2d)) + "|下载成功"}
        << QStringList{QString(32, QChar(0x4e2d))}
        << QStringList{"c", "c/odd key.jpg"};
    QTest::newRow("uri absent: no spreadsheet")
        << Data{{"category0", "c"}, {"name0", "n"}, {"md50", a}}
        << QStringList{"c|n|" + a + "|下载成功"} << QStringList{a} << QStringList{"c", "c/n.jpg"};
}

void TestDownloadWidget::numberDataBuildsRowsAndFolders()
{
    QFETCH(Data, data);
    QFETCH(QStringList, rows);
    QFETCH(QStringList, fetched);
    QFETCH(QStringList, entries);

    setNumber("N1", data);
    QSignalSpy spy(ossApi.get(), &OSSApi::finishDownload);
    start("N1", tempDir->path());

    // Everything the answer starts is under way once the rows are in; wait for
    // the pictures and the spreadsheet it asked for.
    const bool wantsSheet = entries.contains("N1.xls");
    QTRY_VERIFY_WITH_TIMEOUT(model->rowCount() == rows.size() && spy.size() == fetched.size()
                                 && (!wantsSheet || QFile::exists(tempDir->filePath("N1.xls")))
                                 && server.requestCount() >= 1,
                             SETTLE_MS);
    QTest::qWait(50); // a stray request would show up here

    QStringList shown;
    for (int r = 0; r < model->rowCount(); ++r)
        shown.append(QStringList{cell(r, 0), cell(r, 1), cell(r, 3), cell(r, 4)}.join('|'));
    QCOMPARE(shown, rows);
    for (int r = 0; r < model->rowCount(); ++r)
        QCOMPARE(cell(r, 2), folderPath(cell(r, 0), cell(r, 1)));

    QStringList keys = fetched;
    keys.sort();
    QCOMPARE(pictureRequests(), keys);
    QCOMPARE(spreadsheetRequests(), wantsSheet ? 1 : 0);
    entries.sort();
    QCOMPARE(tree(tempDir->path()), entries);
    if (wantsSheet)
        QCOMPARE(readAll(tempDir->filePath("N1.xls")), SPREADSHEET_BYTES);
    for (const QString &key : fetched) {
        const int row = int(model->findItems(key, Qt::MatchExactly, 3).first()->row());
        QCOMPARE(readAll(cell(row, 2)), pictureBytes(key.toUtf8()));
    }
    QCOMPARE(page->findChild<DownloadRun *>()->property("index").toInt(), model->rowCount() + 1);

    // The picture requests went to the picture host through the proxy.
    for (const RecordedRequest &request : server.requests()) {
        if (request.target.startsWith(PICTURE_PREFIX))
            QCOMPARE(request.header("Referer"), SITE_URL.toUtf8());
    }
}

void TestDownloadWidget::rowsSharingOnePathEndWithLastFinishedPicture()
{
    const QString first = md5Of('1');
    const QString second = md5Of('2');
    setNumber("N2", {{"category0", "c"}, {"name0", "same"}, {"md50", first},
                     {"category1", "c"}, {"name1", "same"}, {"md51", second}});
    // The first row's picture is sent first but finishes last.
    ScriptedResponse slow = ScriptedResponse::ok(pictureBytes(first.toUtf8()));
    slow.delayMs = 300;
    setPicture(first, slow);

    QSignalSpy spy(ossApi.get(), &OSSApi::finishDownload);
    start("N2", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 2, SETTLE_MS);

    // The second row's download (the run's second request) finished first.
    QCOMPARE(spy.at(0).at(1).toInt(), 2);
    QCOMPARE(spy.at(1).at(1).toInt(), 1);
    QCOMPARE(cell(0, 2), cell(1, 2));
    QCOMPARE(cell(0, 4), QStringLiteral("下载成功"));
    QCOMPARE(cell(1, 4), QStringLiteral("下载成功"));
    QCOMPARE(readAll(cell(0, 2)), pictureBytes(first.toUtf8()));
}

void TestDownloadWidget::eachRowShowsItsOwnOutcome()
{
    const QString ok = md5Of('a');
    const QString missing = md5Of('b');
    const QString dropped = md5Of('c');
    const QString unwritable = md5Of('d');
    const QString truncated = md5Of('e');
    setNumber("N3", {{"category0", "c"}, {"name0", "ok"}, {"md50", ok},
                     {"category1", "c"}, {"name1", "missing"}, {"md51", missing},
                     {"category2", "c"}, {"name2", "dropped"}, {"md52", dropped},
                     {"category3", "c"}, {"name3", "unwritable"}, {"md53", unwritable},
                     {"category4", "c"}, {"name4", "truncated"}, {"md54", truncated}});

    // Answers come in the reverse order of the rows. Bodies larger than the
    // client's read buffer must still flow through, refused ones included.
    QByteArray bigPicture(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < bigPicture.size(); ++i)
        bigPicture[i] = char(i % 251);
    ScriptedResponse okResponse = ScriptedResponse::ok(bigPicture);
    okResponse.delayMs = 400;
    ScriptedResponse missingResponse = ScriptedResponse::withStatus(404, QByteArray(1024 * 1024, 'e'));
    missingResponse.delayMs = 300;
    // A dropped connection and a truncated body are tried again, and fail every time.
    ScriptedResponse droppedResponse = ScriptedResponse::dropped();
    droppedResponse.delayMs = 50;
    ScriptedResponse unwritableResponse = ScriptedResponse::ok(pictureBytes(unwritable.toUtf8()));
    unwritableResponse.delayMs = 100;
    ScriptedResponse truncatedResponse = ScriptedResponse::ok(pictureBytes(truncated.toUtf8()));
    truncatedResponse.truncate = true;
    setPicture(ok, okResponse);
    setPicture(missing, missingResponse);
    setPicture(dropped, droppedResponse);
    setPicture(unwritable, unwritableResponse);
    setPicture(truncated, truncatedResponse);

    // A folder where the picture file should go: the transfer succeeds, the
    // file cannot be written.
    QVERIFY(QDir().mkpath(tempDir->filePath("c/unwritable.jpg")));

    QSignalSpy spy(ossApi.get(), &OSSApi::finishDownload);
    // What the status line shows as each retry is announced.
    QStringList shown;
    connect(run, &DownloadRun::logLine, this, [&shown, this] { shown.append(statusLabel->text()); });
    start("N3", tempDir->path());
    QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith("下载完毕"), SETTLE_MS);

    // Rows 0..4 are requests 1..5; the two transient failures are tried three
    // times more, each try under a new id.
    QList<int> order;
    for (const auto &args : spy)
        order.append(args.at(1).toInt());
    QList<int> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(sorted, (QList<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    order.removeIf([](int id) { return id > 5; });
    QCOMPARE(order.first(), 5);
    QCOMPARE(order.last(), 1);

    QCOMPARE(cell(0, 4), QStringLiteral("下载成功"));
    QCOMPARE(cell(1, 4), QStringLiteral("下载失败"));
    QCOMPARE(cell(2, 4), QStringLiteral("下载失败"));
    QCOMPARE(cell(3, 4), QStringLiteral("下载失败"));
    QCOMPARE(cell(4, 4), QStringLiteral("下载失败"));
    QStringList reasons;
    for (int r = 0; r < model->rowCount(); ++r)
        reasons.append(model->item(r, 4)->toolTip());
    QCOMPARE(reasons, (QStringList{"", "HTTP 404", "连接被关闭", "写入失败", "连接被关闭"}));
    QCOMPARE(statusText(), "下载完毕：成功 1，失败 4，无需下载 0，用时 X 秒");
    QCOMPARE(shown.size(), 6);
    for (int n = 1; n <= 3; ++n) {
        QVERIFY(shown.contains(QStringLiteral("第%1次重试：c/dropped（连接被关闭）").arg(n)));
        QVERIFY(shown.contains(QStringLiteral("第%1次重试：c/truncated（连接被关闭）").arg(n)));
    }
    QVERIFY(readAll(cell(0, 2)) == bigPicture);
    QCOMPARE(tree(tempDir->filePath("c")), (QStringList{"ok.jpg", "unwritable.jpg"}));
    QVERIFY(QFileInfo(cell(3, 2)).isDir());
}

void TestDownloadWidget::startIsRefusedWhileRunning()
{
    setNumber("SLOW", {{"uri", SPREADSHEET_URI}, {"category0", "slow"}, {"name0", "x"}, {"md50", md5Of('s')}},
              300);
    setNumber("FAST", {{"category0", "fast"}, {"name0", "y"}, {"md50", md5Of('f')}}, 200);

    QSignalSpy answers(api.get(), &Api::successDownload);
    start("SLOW", tempDir->path());
    QVERIFY(!startButton->isEnabled());
    // A second start does not overtake the first: the button is off, and the
    // page turns the call down as well.
    start("FAST", tempDir->path());
    page->startDownload();
    QTRY_COMPARE_WITH_TIMEOUT(numberRequests(), 1, SETTLE_MS);
    QTest::qWait(50);
    QCOMPARE(numberRequests(), 1);
    QCOMPARE(server.requests().first().target, QByteArray("/index.php?m=api&f=download&no=SLOW"));

    // The member stops the first run, then starts the other number.
    click("stopButton");
    QCOMPARE(statusText(), "下载已停止：成功 0，失败 0，无需下载 0，已停止 0，用时 X 秒");
    start("FAST", tempDir->path());
    // An answer for the stopped number, coming while the new one is asked
    // for, is not taken for it.
    const QMap<QString, QString> late{{"code", "0000"}, {"uri", SPREADSHEET_URI}, {"category0", "slow"},
                                      {"name0", "x"}, {"md50", md5Of('s')}};
    Q_EMIT api->successDownload("SLOW", late);
    QCOMPARE(model->rowCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 4), QStringLiteral("下载成功"), SETTLE_MS);
    QTest::qWait(400); // past the time the first number's answer was due

    // The stopped query was called off: its own answer never came.
    QCOMPARE(answers.size(), 2);
    QCOMPARE(answers.at(1).at(0).toString(), QStringLiteral("FAST"));

    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(cell(0, 0), QStringLiteral("fast"));
    QCOMPARE(pictureRequests(), QStringList{md5Of('f')});
    QCOMPARE(spreadsheetRequests(), 0);
    QCOMPARE(tree(tempDir->path()), (QStringList{"fast", "fast/y.jpg"}));
    QCOMPARE(statusText(), "下载完毕：成功 1，失败 0，无需下载 0，用时 X 秒");
}

void TestDownloadWidget::stoppedRunLeavesNewTableAlone()
{
    // The first run's three pictures are on the wire when it is stopped; the
    // second run's table stands on the same row numbers 0 and 1.
    Data first;
    for (int i = 0; i < 3; ++i) {
        const QString key = md5Of(char('a' + i));
        first += {{QStringLiteral("category%1").arg(i), "old"}, {QStringLiteral("name%1").arg(i), key},
                  {QStringLiteral("md5%1").arg(i), key}};
        setPicture(key, ScriptedResponse::hanging());
    }
    setNumber("OLD", first);
    const QString fresh = md5Of('f');
    setNumber("NEW", {{"category0", "new"}, {"name0", "not fetched"}, {"md50", "short"},
                      {"category1", "new"}, {"name1", "fetched"}, {"md51", fresh}});
    ScriptedResponse slowFresh = ScriptedResponse::ok(pictureBytes(fresh.toUtf8()));
    slowFresh.delayMs = 300;
    setPicture(fresh, slowFresh);

    QSignalSpy spy(ossApi.get(), &OSSApi::finishDownload);
    start("OLD", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(pictureRequests().size(), 3, SETTLE_MS);
    click("stopButton");
    QCOMPARE(statusColumn(), QStringList(3, "已停止"));
    QCOMPARE(spy.size(), 3); // called off at once
    QTRY_COMPARE_WITH_TIMEOUT(server.inFlight("img.zamtu.test"), 0, SETTLE_MS);

    start("NEW", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(pictureRequests().size(), 4, SETTLE_MS);
    QCOMPARE(statusColumn(), (QStringList{"准备下载", "准备下载"}));
    // Results under the stopped run's ids, coming late, fall on no row.
    Q_EMIT ossApi->finishDownload(true, 1, TransferOutcome());
    Q_EMIT ossApi->finishDownload(false, 2, TransferOutcome::refused("HTTP 404"));
    Q_EMIT ossApi->finishDownload(false, 3, TransferOutcome::transient("超时"));
    QCOMPARE(statusColumn(), (QStringList{"准备下载", "准备下载"}));
    QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith("下载完毕"), SETTLE_MS);

    QCOMPARE(run->rows().at(1).requestId, 4); // ids are never reused
    QCOMPARE(statusColumn(), (QStringList{"准备下载", "下载成功"}));
    QCOMPARE(statusText(), "下载完毕：成功 1，失败 0，无需下载 1，用时 X 秒");
    QCOMPARE(readAll(cell(1, 2)), pictureBytes(fresh.toUtf8()));
    QCOMPARE(pictureRequests().size(), 4);
    QCOMPARE(tree(tempDir->path()), (QStringList{"new", "new/fetched.jpg", "old"}));
}

void TestDownloadWidget::refusedNumberLeavesTableEmpty()
{
    setNumber("GOOD", {{"category0", "c"}, {"name0", "n"}, {"md50", md5Of('a')}});
    start("GOOD", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 4), QStringLiteral("下载成功"), SETTLE_MS);

    // Numbers without a scripted answer are refused with code 1003.
    QSignalSpy refused(api.get(), &Api::notExistsTicket);
    start("UNKNOWN", tempDir->path());
    QCOMPARE(model->rowCount(), 0);
    QVERIFY(refused.wait(SETTLE_MS));
    QTest::qWait(50);
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(pictureRequests(), QStringList{md5Of('a')});
}

void TestDownloadWidget::hostileNamesNeverLeaveFolder_data()
{
    QTest::addColumn<QString>("no");
    QTest::addColumn<QString>("category");
    QTest::addColumn<QString>("name");

    QTest::newRow("name ../x") << "N" << "c" << "../x";
    QTest::newRow("name ../../x") << "N" << "c" << "../../x";
    QTest::newRow("category ..") << "N" << ".." << "x";
    QTest::newRow("category .") << "N" << "." << "x";
    QTest::newRow("category a/b") << "N" << "a/b" << "x";
    QTest::newRow("name a/b") << "N" << "c" << "a/b";
    QTest::newRow("category a\\b") << "N" << "a\\..\\..\\b" << "x";
    QTest::newRow("category absolute") << "N" << "<outside>" << "x";
    QTest::newRow("name absolute") << "N" << "c" << "<outside>/x";
    QTest::newRow("category drive") << "N" << "C:" << "x";
    QTest::newRow("name with NUL") << "N" << "c" << QStringLiteral("x") + QChar(0) + "y";
    QTest::newRow("number ../N") << "../N" << "c" << "x";
}

void TestDownloadWidget::hostileNamesNeverLeaveFolder()
{
    QFETCH(QString, no);
    QFETCH(QString, category);
    QFETCH(QString, name);

    // The chosen folder sits two levels down, so that ".." and "../.." land
    // inside the temporary folder where they can be seen.
    const QString folder = tempDir->filePath("one/folder");
    const QString outside = tempDir->filePath("outside");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(QDir().mkpath(outside));
    category.replace("<outside>", outside);
    name.replace("<outside>", outside);

    const QString hostile = md5Of('h');
    const QString plain = md5Of('p');
    const Data data{{"uri", SPREADSHEET_URI},
                    {"category0", category}, {"name0", name}, {"md50", hostile},
                    {"category1", "家常菜"}, {"name1", "麻婆豆腐"}, {"md51", plain},
                    {"category2", category}, {"name2", name}, {"md52", "MIAN"}};
    setNumber(no, data);

    const bool unsafeNumber = no != QLatin1String("N");
    QSignalSpy spy(ossApi.get(), &OSSApi::finishDownload);
    if (name.contains(QChar(0))) {
        // The site's reply ends at a NUL byte, so such a name can only reach
        // the run directly, while it waits for an answer that never comes.
        numbers.insert(no, ScriptedResponse::hanging());
        start(no, folder);
        QTRY_COMPARE_WITH_TIMEOUT(numberRequests(), 1, SETTLE_MS);
        QMap<QString, QString> map;
        for (const auto &pair : data)
            map.insert(pair.first, pair.second);
        run->successDownload(no, map);
    } else {
        start(no, folder);
    }
    QTRY_VERIFY_WITH_TIMEOUT(spy.size() >= (unsafeNumber ? 2 : 1) && (unsafeNumber || spreadsheetRequests() == 1),
                             SETTLE_MS);
    QTRY_VERIFY_WITH_TIMEOUT(unsafeNumber || QFile::exists(folder + "/N.xls"), SETTLE_MS);
    QTest::qWait(50);

    // Only the ordinary row is fetched; everything written is in the folder.
    QStringList expected{"one", "one/folder", "one/folder/家常菜", "one/folder/家常菜/麻婆豆腐.jpg", "outside"};
    if (unsafeNumber) {
        QCOMPARE(spreadsheetRequests(), 0);
        expected += {"one/folder/c", "one/folder/c/x.jpg"};
        QCOMPARE(pictureRequests(), (QStringList{hostile, plain}));
    } else {
        expected += "one/folder/N.xls";
        QCOMPARE(pictureRequests(), QStringList{plain});
        QCOMPARE(cell(0, 2), QString());
        QCOMPARE(cell(0, 4), QStringLiteral("下载失败"));
        QCOMPARE(cell(2, 4), QStringLiteral("免图"));
    }
    expected.sort();
    QCOMPARE(tree(tempDir->path()), expected);
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(cell(0, 0), category);
    QCOMPARE(cell(0, 1), name);
    QCOMPARE(cell(1, 4), QStringLiteral("下载成功"));
    QCOMPARE(readAll(cell(1, 2)), pictureBytes(plain.toUtf8()));
}

void TestDownloadWidget::spreadsheetUsesFolderFieldAtAnswer()
{
    const QString typed = tempDir->filePath("typed");
    const QString edited = tempDir->filePath("edited folder");
    QVERIFY(QDir().mkpath(typed));
    QVERIFY(QDir().mkpath(edited));
    setNumber("编号 7", {{"uri", SPREADSHEET_URI}, {"category0", "c"}, {"name0", "n"}, {"md50", md5Of('a')}},
              200);

    start("编号 7", typed);
    dirEdit->setText(edited);
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 4), QStringLiteral("下载成功"), SETTLE_MS);
    const QString sheet = edited + QDir::separator() + QStringLiteral("编号 7.xls");
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(sheet), SETTLE_MS);

    QCOMPARE(readAll(sheet), SPREADSHEET_BYTES);
    QCOMPARE(cell(0, 2), edited + QDir::separator() + "c" + QDir::separator() + "n.jpg");
    QCOMPARE(tree(typed), QStringList());
    QCOMPARE(tree(edited), (QStringList{"c", "c/n.jpg", "编号 7.xls"}));
    const auto requests = server.requests();
    const auto sheetRequest = std::find_if(requests.cbegin(), requests.cend(), [](const RecordedRequest &r) {
        return r.target == SPREADSHEET_URI.toUtf8();
    });
    QVERIFY(sheetRequest != requests.cend());
    QVERIFY(!sheetRequest->hasHeader("Api-Token"));
}

void TestDownloadWidget::startRefusesEmptyOrMissingFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("message");

    QTest::newRow("empty") << QString() << QStringLiteral("请先选择下载目录");
    QTest::newRow("missing") << QStringLiteral("<temp>/does/not/exist") << QStringLiteral("下载目录不存在，请重新选择");
    QTest::newRow("a file") << QStringLiteral("<temp>/file") << QStringLiteral("下载目录不存在，请重新选择");
}

void TestDownloadWidget::startRefusesEmptyOrMissingFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, message);
    folder.replace("<temp>", tempDir->path());
    QFile file(tempDir->filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    setNumber("N", {{"uri", SPREADSHEET_URI}, {"category0", "c"}, {"name0", "n"}, {"md50", md5Of('a')}});
    start("N", folder);

    // The box is up and the call has returned: no nested event loop.
    const QList<QMessageBox *> boxes = visibleBoxes();
    QCOMPARE(boxes.size(), 1);
    QMessageBox *box = boxes.first();
    QCOMPARE(box->text(), message);
    QCOMPARE(box->windowTitle(), QStringLiteral("提示"));
    QCOMPARE(box->standardButtons(), QMessageBox::Ok);
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(enabledRunButtons(), QStringList{"startButton"});

    // The same refusal again opens no second box (called directly: a click
    // would prove nothing should the box block input to the page).
    page->startDownload();
    QCOMPARE(boxTexts(), QStringList{message});
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(tree(tempDir->path()), QStringList{"file"});
    QCOMPARE(model->rowCount(), 0);

    // Once closed, the next refusal shows again.
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    QTRY_VERIFY(visibleBoxes().isEmpty());
    QTest::mouseClick(startButton, Qt::LeftButton);
    QCOMPARE(boxTexts(), QStringList{message});
}

void TestDownloadWidget::answerRefusedWhenFolderGoneMeanwhile_data()
{
    QTest::addColumn<bool>("cleared"); // the field emptied, or the folder removed
    QTest::addColumn<QString>("message");

    QTest::newRow("field cleared") << true << QStringLiteral("请先选择下载目录");
    QTest::newRow("folder removed") << false << QStringLiteral("下载目录不存在，请重新选择");
}

void TestDownloadWidget::answerRefusedWhenFolderGoneMeanwhile()
{
    QFETCH(bool, cleared);
    QFETCH(QString, message);

    const QString folder = tempDir->filePath("chosen");
    QVERIFY(QDir().mkpath(folder));
    setNumber("N", {{"uri", SPREADSHEET_URI}, {"category0", "c"}, {"name0", "n"}, {"md50", md5Of('a')}}, 200);
    QSignalSpy answers(api.get(), &Api::successDownload);
    start("N", folder);
    if (cleared)
        dirEdit->clear();
    else
        QVERIFY(QDir(folder).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, SETTLE_MS);
    QTRY_COMPARE_WITH_TIMEOUT(boxTexts(), QStringList{message}, SETTLE_MS);
    QCOMPARE(visibleBoxes().first()->windowTitle(), QStringLiteral("提示"));
    QTest::qWait(100);

    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(tree(tempDir->path()), cleared ? QStringList{"chosen"} : QStringList());
    QCOMPARE(statusLabel->text(), message);
    QCOMPARE(enabledRunButtons(), QStringList{"startButton"});
}

void TestDownloadWidget::cancelledChooserEmptiesFolderField()
{
    dirEdit->setText(tempDir->path());
    bool sawChooser = false;
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&sawChooser] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            sawChooser = true;
            dialog->reject();
        }
    });
    closer.start(10);
    page->findChild<QPushButton *>(QStringLiteral("browseButton"))->click();
    QVERIFY(sawChooser);
    QCOMPARE(dirEdit->text(), QString());
}

void TestDownloadWidget::progressBarFollowsTheRun()
{
    // The number's answer is slow; the pictures finish one after another and
    // the spreadsheet comes last of all.
    const QString a = md5Of('a');
    const QString b = md5Of('b');
    const QString c = md5Of('c');
    setNumber("P", {{"uri", SPREADSHEET_URI}, {"category0", "c"}, {"name0", "a"}, {"md50", a},
                    {"category1", "c"}, {"name1", "b"}, {"md51", b},
                    {"category2", "c"}, {"name2", "c"}, {"md52", c}},
              400);
    ScriptedResponse second = ScriptedResponse::ok(pictureBytes(b.toUtf8()));
    second.delayMs = 300;
    ScriptedResponse third = ScriptedResponse::ok(pictureBytes(c.toUtf8()));
    third.delayMs = 600;
    setPicture(b, second);
    setPicture(c, third);
    sheetResponse.delayMs = 1000;

    // Each state the bar shows, as "value/maximum" ("busy" for 0..0), with
    // whether the summary stood beside it.
    QStringList trace;
    QStringList violations;
    const auto sample = [&] {
        const bool summary = statusLabel->text().startsWith("下载完毕");
        const bool busy = progressBar->minimum() == 0 && progressBar->maximum() == 0;
        const QString state = (busy ? QStringLiteral("busy")
                                    : QStringLiteral("%1/%2").arg(progressBar->value()).arg(progressBar->maximum()))
            + (summary ? "+summary" : "");
        if (trace.isEmpty() || trace.last() != state)
            trace.append(state);
        // Full exactly when the summary is up.
        const bool full = !busy && progressBar->value() == progressBar->maximum();
        if (full != summary && (violations.isEmpty() || violations.last() != state))
            violations.append(state);
    };
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, sample);
    connect(progressBar, &QProgressBar::valueChanged, this, sample);

    start("P", tempDir->path());
    sampler.start(5);
    QCOMPARE(progressBar->minimum(), 0);
    QCOMPARE(progressBar->maximum(), 0);
    QTest::qWait(200);
    QCOMPARE(progressBar->maximum(), 0); // still waiting for the number
    QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith("下载完毕"), SETTLE_MS);
    sample();
    sampler.stop();

    QCOMPARE(progressBar->minimum(), 0);
    QCOMPARE(progressBar->maximum(), 3);
    QCOMPARE(progressBar->value(), 3);
    QCOMPARE(violations.join(", "), QString());
    // Updates are gathered, so 0/3 may pass unseen; the rest show in order.
    trace.removeAll("0/3");
    QCOMPARE(trace, (QStringList{"busy", "1/3", "2/3", "3/3+summary"}));
}

void TestDownloadWidget::buttonsFollowStartStopEndAndRetry()
{
    const QString good = md5Of('g');
    const QString flaky = md5Of('f');
    setNumber("B", {{"category0", "c"}, {"name0", "good"}, {"md50", good},
                    {"category1", "c"}, {"name1", "flaky"}, {"md51", flaky}},
              200);
    setPicture(flaky, ScriptedResponse::stalling(pictureBytes(flaky.toUtf8())));
    QCOMPARE(enabledRunButtons(), QStringList{"startButton"});

    // Running: only 停止, while the number is asked for and while pictures come.
    start("B", tempDir->path());
    QCOMPARE(enabledRunButtons(), QStringList{"stopButton"});
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 4), QStringLiteral("下载成功"), SETTLE_MS);
    QTRY_COMPARE_WITH_TIMEOUT(server.inFlight("img.zamtu.test"), 1, SETTLE_MS);
    QCOMPARE(enabledRunButtons(), QStringList{"stopButton"});

    // Stopped with a row not fetched: it can be retried, the results exported.
    click("stopButton");
    QCOMPARE(statusColumn(), (QStringList{"下载成功", "已停止"}));
    QCOMPARE(enabledRunButtons(), (QStringList{"startButton", "retryButton", "exportButton"}));
    QCOMPARE(statusText(), "下载已停止：成功 1，失败 0，无需下载 0，已停止 1，用时 X 秒");

    // The retry fails for good.
    setPicture(flaky, ScriptedResponse::withStatus(404));
    click("retryButton");
    QCOMPARE(enabledRunButtons(), QStringList{"stopButton"});
    QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith("下载完毕"), SETTLE_MS);
    QCOMPARE(statusColumn(), (QStringList{"下载成功", "下载失败"}));
    QCOMPARE(enabledRunButtons(), (QStringList{"startButton", "retryButton", "exportButton"}));
    QCOMPARE(statusText(), "下载完毕：成功 1，失败 1，无需下载 0，用时 X 秒");

    // The next retry succeeds: nothing is left to retry.
    setPicture(flaky, ScriptedResponse::ok(pictureBytes(flaky.toUtf8())));
    click("retryButton");
    QCOMPARE(enabledRunButtons(), QStringList{"stopButton"});
    QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith("下载完毕"), SETTLE_MS);
    QCOMPARE(statusColumn(), (QStringList{"下载成功", "下载成功"}));
    QCOMPARE(enabledRunButtons(), (QStringList{"startButton", "exportButton"}));
    QCOMPARE(statusText(), "下载完毕：成功 2，失败 0，无需下载 0，用时 X 秒");
    QCOMPARE(readAll(cell(1, 2)), pictureBytes(flaky.toUtf8()));

    // The number was asked for once; the good picture was fetched once.
    QCOMPARE(numberRequests(), 1);
    QCOMPARE(pictureRequests(), (QStringList{flaky, flaky, flaky, good}));
}

void TestDownloadWidget::stopButtonCallsOffTheRun()
{
    // Eight pictures: six come half-way and stall, two wait in the queue.
    Data data{{"uri", SPREADSHEET_URI}};
    for (int i = 0; i < 8; ++i) {
        const QString key = md5Of(char('a' + i));
        data += {{QStringLiteral("category%1").arg(i), "菜"}, {QStringLiteral("name%1").arg(i), key},
                 {QStringLiteral("md5%1").arg(i), key}};
        setPicture(key, ScriptedResponse::stalling(pictureBytes(key.toUtf8())));
    }
    setNumber("S", data);
    sheetResponse = ScriptedResponse::hanging();
    start("S", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(tree(tempDir->path()).filter(".part").size(), 6, SETTLE_MS);
    const int sent = server.requestCount();
    QCOMPARE(pictureRequests().size(), 6);

    click("stopButton");
    QCOMPARE(statusColumn(), QStringList(8, "已停止"));
    QCOMPARE(tree(tempDir->path()), QStringList{"菜"});
    QCOMPARE(statusText(), "下载已停止：成功 0，失败 0，无需下载 0，已停止 8，用时 X 秒；表格下载失败（已停止）");
    QCOMPARE(progressBar->maximum(), 8);
    QCOMPARE(progressBar->value(), 8);
    QVERIFY(!page->findChild<QPushButton *>("stopButton")->isEnabled());

    // The connections close and nothing more is sent.
    QTRY_COMPARE_WITH_TIMEOUT(server.inFlight("img.zamtu.test"), 0, SETTLE_MS);
    QTest::qWait(200);
    QCOMPARE(server.requestCount(), sent);
    QCOMPARE(statusColumn(), QStringList(8, "已停止"));
}

void TestDownloadWidget::exportWritesResultsAsCsv()
{
    const QString a = md5Of('a');
    const QString b = md5Of('b');
    const QString c = md5Of('c');
    setNumber("E1", {{"category0", "热菜"}, {"name0", "红烧肉"}, {"md50", a},
                     {"category1", "凉菜"}, {"name1", "拍黄瓜"}, {"md51", b},
                     {"category2", "主食"}, {"name2", "米饭"}, {"md52", "MIAN"},
                     {"category3", "海鲜"}, {"name3", "鱼,虾\"鲜\""}, {"md53", c}});
    setPicture(b, ScriptedResponse::withStatus(404));
    QVERIFY(!page->findChild<QPushButton *>("exportButton")->isEnabled());
    start("E1", tempDir->path());
    QTRY_VERIFY_WITH_TIMEOUT(statusLabel->text().startsWith("下载完毕"), SETTLE_MS);

    click("exportButton");
    auto *dialog = page->findChild<QFileDialog *>("exportDialog");
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
    const QString target = tempDir->filePath("结果.csv");
    dialog->selectFile(target);
    static_cast<QDialog *>(dialog)->accept(); // as the member pressing 保存
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(target), SETTLE_MS);

    const QString root = tempDir->path();
    const QByteArray expected = "\xEF\xBB\xBF"
                                "分类,菜名,存储路径,MD5,状态,原因\r\n"
                                "热菜,红烧肉," + (root + "/热菜/红烧肉.jpg,").toUtf8() + a.toUtf8() + ",下载成功,\r\n"
                                "凉菜,拍黄瓜," + (root + "/凉菜/拍黄瓜.jpg,").toUtf8() + b.toUtf8() + ",下载失败,HTTP 404\r\n"
                                "主食,米饭," + (root + "/主食/米饭.jpg").toUtf8() + ",MIAN,免图,\r\n"
                                "海鲜,\"鱼,虾\"\"鲜\"\"\",\"" + (root + "/海鲜/鱼,虾\"\"鲜\"\".jpg\",").toUtf8()
        + c.toUtf8() + ",下载成功,\r\n";
    QCOMPARE(readAll(target), expected);
    QCOMPARE(statusLabel->text(), "已导出：" + target);
    QCOMPARE(tree(tempDir->path()).filter(".csv"), QStringList{"结果.csv"});
}

QTEST_MAIN(TestDownloadWidget)
#include "tst_downloadwidget.moc"
