#include "api/api.h"
#include "base/constants.h"
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
#include <QPushButton>
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

// Answers the modal message boxes the page raises and remembers their texts.
class MessageBoxAnswerer : public QObject
{
public:
    MessageBoxAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                titles.append(box->windowTitle());
                texts.append(box->text());
                box->done(0);
            }
        });
        timer.start(10);
    }

    QStringList titles;
    QStringList texts;

private:
    QTimer timer;
};

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
    void lateResultsOfEarlierRunLeaveNewTableAlone();
    void answerForOvertakenNumberIsIgnored();
    void refusedNumberLeavesTableEmpty();
    void hostileNamesNeverLeaveFolder_data();
    void hostileNamesNeverLeaveFolder();
    void spreadsheetUsesFolderFieldAtAnswer();
    void startRefusesEmptyOrMissingFolder_data();
    void startRefusesEmptyOrMissingFolder();
    void answerRefusedWhenFolderClearedMeanwhile();
    void cancelledChooserEmptiesFolderField();

private:
    void setNumber(const QString &no, const Data &data, int delayMs = 0);
    void setPicture(const QString &key, const ScriptedResponse &response);
    void start(const QString &no, const QString &folder);
    QStringList pictureRequests() const;
    int spreadsheetRequests() const;
    QString cell(int row, int column) const;
    QString folderPath(const QString &category, const QString &name) const;

    TestHttpServer server;
    QHash<QString, ScriptedResponse> numbers;
    QHash<QByteArray, ScriptedResponse> pictures;

    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<Api> api;
    std::unique_ptr<OSSApi> ossApi;
    std::unique_ptr<DownloadWidget> page;
    QLineEdit *numberEdit = nullptr;
    QLineEdit *dirEdit = nullptr;
    QPushButton *startButton = nullptr;
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
            return ScriptedResponse::ok(SPREADSHEET_BYTES);
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
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    api = std::make_unique<Api>();
    ossApi = std::make_unique<OSSApi>();
    page = std::make_unique<DownloadWidget>(api.get(), ossApi.get());
    numberEdit = page->findChild<QLineEdit *>(QStringLiteral("numberEdit"));
    dirEdit = page->findChild<QLineEdit *>(QStringLiteral("dirEdit"));
    startButton = page->findChild<QPushButton *>(QStringLiteral("startButton"));
    auto *view = page->findChild<QTableView *>(QStringLiteral("tableView"));
    QVERIFY(numberEdit && dirEdit && startButton && view);
    model = qobject_cast<QStandardItemModel *>(view->model());
    QVERIFY(model);
}

void TestDownloadWidget::cleanup()
{
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
    QCOMPARE(labels, (QStringList{QStringLiteral("下载编号："), QStringLiteral("下载目录：")}));
    const QList<QLabel *> labelWidgets = page->findChildren<QLabel *>();
    QCOMPARE(labelWidgets.at(0)->buddy(), numberEdit);
    QCOMPARE(labelWidgets.at(1)->buddy(), dirEdit);

    QCOMPARE(numberEdit->minimumWidth(), 120);
    QCOMPARE(numberEdit->maximumWidth(), 120);
    QCOMPARE(dirEdit->maximumWidth(), 150);
    QVERIFY(numberEdit->text().isEmpty() && dirEdit->text().isEmpty());

    QStringList buttons;
    for (const QPushButton *button : page->findChildren<QPushButton *>())
        buttons.append(button->text());
    QCOMPARE(buttons, (QStringList{QStringLiteral("浏览..."), QStringLiteral("打开存储目录"),
                                   QStringLiteral("开始下载")}));

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

    QCOMPARE(spy.at(0).at(1).toInt(), 1);
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
    // A dropped connection is retried once by the network layer before it fails.
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
    start("N3", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 5, SETTLE_MS);

    QList<int> order;
    for (const auto &args : spy)
        order.append(args.at(1).toInt());
    QCOMPARE(order.first(), 4);
    QCOMPARE(order.last(), 0);

    QCOMPARE(cell(0, 4), QStringLiteral("下载成功"));
    QCOMPARE(cell(1, 4), QStringLiteral("下载失败"));
    QCOMPARE(cell(2, 4), QStringLiteral("下载失败"));
    QCOMPARE(cell(3, 4), QStringLiteral("下载失败"));
    QCOMPARE(cell(4, 4), QStringLiteral("下载失败"));
    QVERIFY(readAll(cell(0, 2)) == bigPicture);
    QCOMPARE(tree(tempDir->filePath("c")), (QStringList{"ok.jpg", "unwritable.jpg"}));
    QVERIFY(QFileInfo(cell(3, 2)).isDir());
}

void TestDownloadWidget::lateResultsOfEarlierRunLeaveNewTableAlone()
{
    // The first run's three pictures answer only after the second run's table
    // stands; their row numbers 0..2 exist again (row 0) or no longer (1, 2).
    Data first;
    for (int i = 0; i < 3; ++i) {
        const QString key = md5Of(char('a' + i));
        first += {{QStringLiteral("category%1").arg(i), "old"}, {QStringLiteral("name%1").arg(i), key},
                  {QStringLiteral("md5%1").arg(i), key}};
        ScriptedResponse late = ScriptedResponse::withStatus(404);
        late.delayMs = 500;
        setPicture(key, late);
    }
    setNumber("OLD", first);
    const QString fresh = md5Of('f');
    setNumber("NEW", {{"category0", "new"}, {"name0", "not fetched"}, {"md50", "short"},
                      {"category1", "new"}, {"name1", "fetched"}, {"md51", fresh}});

    QSignalSpy spy(ossApi.get(), &OSSApi::finishDownload);
    start("OLD", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(pictureRequests().size(), 3, SETTLE_MS);

    start("NEW", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(spy.size(), 4, SETTLE_MS);

    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(cell(0, 4), QStringLiteral("准备下载"));
    QCOMPARE(cell(1, 4), QStringLiteral("下载成功"));
    QCOMPARE(readAll(cell(1, 2)), pictureBytes(fresh.toUtf8()));
}

void TestDownloadWidget::answerForOvertakenNumberIsIgnored()
{
    setNumber("SLOW", {{"uri", SPREADSHEET_URI}, {"category0", "slow"}, {"name0", "x"}, {"md50", md5Of('s')}},
              300);
    setNumber("FAST", {{"category0", "fast"}, {"name0", "y"}, {"md50", md5Of('f')}});

    QSignalSpy answers(api.get(), &Api::successDownload);
    start("SLOW", tempDir->path());
    start("FAST", tempDir->path());
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 2, SETTLE_MS);
    QTRY_COMPARE_WITH_TIMEOUT(cell(0, 4), QStringLiteral("下载成功"), SETTLE_MS);
    QTest::qWait(50);

    QCOMPARE(answers.at(1).at(0).toString(), QStringLiteral("SLOW"));
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(cell(0, 0), QStringLiteral("fast"));
    QCOMPARE(pictureRequests(), QStringList{md5Of('f')});
    QCOMPARE(tree(tempDir->path()), (QStringList{"fast", "fast/y.jpg"}));
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
        // the page directly.
        QMap<QString, QString> map;
        for (const auto &pair : data)
            map.insert(pair.first, pair.second);
        dirEdit->setText(folder);
        page->findChild<DownloadRun *>()->successDownload(no, map);
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
    MessageBoxAnswerer answerer;
    start("N", folder);

    QCOMPARE(answerer.texts, QStringList{message});
    QCOMPARE(answerer.titles, QStringList{QStringLiteral("提示")});
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(tree(tempDir->path()), QStringList{"file"});
}

void TestDownloadWidget::answerRefusedWhenFolderClearedMeanwhile()
{
    setNumber("N", {{"uri", SPREADSHEET_URI}, {"category0", "c"}, {"name0", "n"}, {"md50", md5Of('a')}}, 200);
    MessageBoxAnswerer answerer;
    QSignalSpy answers(api.get(), &Api::successDownload);
    start("N", tempDir->path());
    dirEdit->clear();
    QTRY_COMPARE_WITH_TIMEOUT(answers.size(), 1, SETTLE_MS);
    QTRY_COMPARE_WITH_TIMEOUT(answerer.texts, QStringList{QStringLiteral("请先选择下载目录")}, SETTLE_MS);
    QTest::qWait(100);

    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(tree(tempDir->path()), QStringList());
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

QTEST_MAIN(TestDownloadWidget)
#include "tst_downloadwidget.moc"
