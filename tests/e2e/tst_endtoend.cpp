// The real program in a real X window, driven as a person would: keys and
// clicks from xdotool on an Xvfb screen, no hooks inside the program. The real
// stand-in server runs beside it as its HTTP proxy. What the person did is then
// checked where it lands: the stand-in's bucket and registrations, the tool's
// image table, and the downloaded files.
//
// Screenshots of each window are kept in screenshots/ beside this executable.

#include "server/demodata.h"
#include "server/objectstore.h"
#include "server/sitestore.h"
#include "childprocess.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString TOOL = QStringLiteral(ZAMTU_BATCH_EXECUTABLE);
const QString SERVER = QStringLiteral(ZAMTU_SERVER_EXECUTABLE);
const QString TOOL_NAME = QStringLiteral("zamtu-batch");

const QString LOGIN_TITLE = TOOL_NAME; // the login window carries the program's name
const QString MAIN_TITLE = QStringLiteral("Zamtu批量下载工具");
const QString UPLOAD_DIALOG_TITLE = QStringLiteral("请选择上传文件夹");
const QString DOWNLOAD_DIALOG_TITLE = QStringLiteral("请选择下载目录");

const QString UPLOADED = QStringLiteral("上传成功");
const QString EXISTS = QStringLiteral("已经存在");
const QString ALREADY_STORED_SAMPLE = QStringLiteral("拍黄瓜.jpg");
const QString MIAN = QStringLiteral("MIAN");
const QString NO_IMAGE = QStringLiteral("NO_IMAGE");

const int START_MS = 15000;
const int WINDOW_MS = 15000;
const int UPLOAD_MS = 60000;
const int DOWNLOAD_MS = 60000;
const int COMMAND_MS = 15000;
const int POLL_MS = 100;
const int KEY_DELAY_MS = 20;
const char SCREEN[] = "1280x900x24";

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    // Run in this order: each step goes on from where the last one left the program.
    void logInWithTheDemoAccount();
    void uploadTheSampleFolder();
    void downloadTheDemoNumber();
    void logInByItselfAtTheNextStart();

private:
    bool startXvfb();
    bool startServer();
    bool prepareTool();
    bool startTool();

    QString xdotool(const QStringList &arguments);
    QString findWindow(const QString &title);
    QString waitForWindow(const QString &title);
    bool waitUntilGone(const QString &title);
    void focus(const QString &window);
    void typeText(const QString &text);
    void pressKeys(const QStringList &keys);
    void chooseFolderInDialog(const QString &dialogTitle, const QString &folder, const QString &mainWindow);
    void screenshot(const QString &window, const QString &name);

    QMap<QString, QString> imageStatuses() const;
    QStringList missingDownloads() const;

    QTemporaryDir work;
    QString display;
    QString screenshotDir;
    QProcess xvfb;
    QProcess server;
    QProcess tool;
    quint16 serverPort = 0;
    QString mainWindow;
    QString downloadFolder;
};

void TestEndToEnd::initTestCase()
{
    for (const char *program : {"Xvfb", "xdotool", "import"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty(),
                 qPrintable(QStringLiteral("%1 is missing: scripts/setup.sh installs it").arg(QLatin1String(program))));
    QVERIFY(work.isValid());

    screenshotDir = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("screenshots"));
    QDir(screenshotDir).removeRecursively();
    QVERIFY(QDir().mkpath(screenshotDir));

    QVERIFY(startXvfb());
    QVERIFY(startServer());
    QVERIFY(prepareTool());
    QVERIFY(startTool());
}

void TestEndToEnd::cleanupTestCase()
{
    stopProcess(tool, COMMAND_MS);
    stopProcess(server, COMMAND_MS);
    stopProcess(xvfb, COMMAND_MS);
    qInfo().noquote() << "Screenshots:" << screenshotDir;
}

bool TestEndToEnd::startXvfb()
{
    // Xvfb picks a free display itself and writes its number to stdout. Without
    // -noreset it resets whenever its last client leaves, and refuses the next
    // one for that moment: between two xdotool calls, or two runs of the tool.
    xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-noreset"),
                                        QStringLiteral("-screen"), QStringLiteral("0"), QString::fromLatin1(SCREEN),
                                        QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(START_MS))
        return false;
    QDeadlineTimer deadline(START_MS);
    while (!xvfb.canReadLine() && !deadline.hasExpired() && xvfb.state() == QProcess::Running)
        xvfb.waitForReadyRead(POLL_MS);
    const QByteArray number = xvfb.readLine().trimmed();
    if (number.isEmpty()) {
        qWarning() << "Xvfb did not start:" << xvfb.readAllStandardError();
        return false;
    }
    display = QLatin1Char(':') + QString::fromLatin1(number);
    return true;
}

bool TestEndToEnd::startServer()
{
    serverPort = startStandInServer(server, SERVER, work.filePath(QStringLiteral("server")), {}, START_MS);
    return serverPort != 0;
}

// A copy of the tool in a folder of its own, because it keeps config.ini and
// data/ beside itself, and a home of its own for what Qt keeps there.
bool TestEndToEnd::prepareTool()
{
    const QDir toolDir(work.filePath(QStringLiteral("tool")));
    if (!QDir().mkpath(toolDir.path()) || !QFile::copy(TOOL, toolDir.filePath(TOOL_NAME)))
        return false;
    QFile config(toolDir.filePath(QStringLiteral("config.ini")));
    if (!config.open(QIODevice::WriteOnly))
        return false;
    config.write("[Server]\ndomain=http://www.zamtu.test\n");
    config.close();

    const QString home = work.filePath(QStringLiteral("home"));
    const QString runtime = work.filePath(QStringLiteral("runtime"));
    QDir().mkpath(home);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORMTHEME", "XDG_CURRENT_DESKTOP", "no_proxy", "NO_PROXY",
                             "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("DISPLAY"), display);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    environment.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(serverPort));
    tool.setProcessEnvironment(environment);
    tool.setWorkingDirectory(toolDir.path());
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setStandardOutputFile(work.filePath(QStringLiteral("tool.log")), QIODevice::Append);
    tool.setProgram(toolDir.filePath(TOOL_NAME));
    return true;
}

bool TestEndToEnd::startTool()
{
    tool.start();
    return tool.waitForStarted(START_MS);
}

QString TestEndToEnd::xdotool(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("xdotool"), arguments);
    process.waitForFinished(COMMAND_MS);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// The visible window of the tool with this title, or an empty string.
QString TestEndToEnd::findWindow(const QString &title)
{
    const QStringList windows = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                         QStringLiteral("--class"), TOOL_NAME})
                                    .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &window : windows) {
        if (xdotool({QStringLiteral("getwindowname"), window}) == title)
            return window;
    }
    return QString();
}

QString TestEndToEnd::waitForWindow(const QString &title)
{
    QString window;
    QDeadlineTimer deadline(WINDOW_MS);
    while ((window = findWindow(title)).isEmpty() && !deadline.hasExpired() && tool.state() == QProcess::Running)
        QTest::qWait(POLL_MS);
    if (window.isEmpty())
        qWarning().noquote() << "No window" << title << "; the tool's output:" << readFile(work.filePath(QStringLiteral("tool.log")));
    return window;
}

bool TestEndToEnd::waitUntilGone(const QString &title)
{
    QDeadlineTimer deadline(WINDOW_MS);
    while (!findWindow(title).isEmpty() && !deadline.hasExpired())
        QTest::qWait(POLL_MS);
    return findWindow(title).isEmpty();
}

// There is no window manager: the keyboard goes where the test puts it.
void TestEndToEnd::focus(const QString &window)
{
    xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window});
}

void TestEndToEnd::typeText(const QString &text)
{
    xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QString::number(KEY_DELAY_MS), text});
}

void TestEndToEnd::pressKeys(const QStringList &keys)
{
    xdotool(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QString::number(KEY_DELAY_MS)} + keys);
}

// The folder dialog is open: type the folder's path and accept it, as a person
// who knows where the folder is would.
void TestEndToEnd::chooseFolderInDialog(const QString &dialogTitle, const QString &folder, const QString &mainWindow)
{
    const QString dialog = waitForWindow(dialogTitle);
    QVERIFY2(!dialog.isEmpty(), qPrintable(dialogTitle));
    focus(dialog);
    typeText(folder);
    screenshot(dialog, dialogTitle);
    pressKeys({QStringLiteral("Return")});
    QVERIFY(waitUntilGone(dialogTitle));
    focus(mainWindow);
}

void TestEndToEnd::screenshot(const QString &window, const QString &name)
{
    static int count = 0;
    const QString file = QDir(screenshotDir).filePath(QStringLiteral("%1-%2.png").arg(++count, 2, 10, QLatin1Char('0')).arg(name));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral("import"), {QStringLiteral("-window"), window, file});
    process.waitForFinished(COMMAND_MS);
}

// File name -> status of every picture in the tool's queue.
QMap<QString, QString> TestEndToEnd::imageStatuses() const
{
    QMap<QString, QString> statuses;
    const QString file = work.filePath(QStringLiteral("tool/data/zam.dat"));
    if (!QFile::exists(file))
        return statuses;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("toolqueue"));
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=1000"));
        if (db.open()) {
            QSqlQuery query(QStringLiteral("SELECT name, status FROM image"), db);
            while (query.next())
                statuses.insert(query.value(0).toString(), query.value(1).toString());
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("toolqueue"));
    return statuses;
}

// The files the demo number should have produced that are not there yet.
QStringList TestEndToEnd::missingDownloads() const
{
    SiteStore site;
    site.open(work.filePath(QStringLiteral("server/site.db")));
    const auto number = site.number(DemoData::NUMBER);
    QStringList missing{DemoData::NUMBER + QStringLiteral(".xls")};
    for (const NumberItem &item : number ? number->items : QList<NumberItem>())
        if (item.md5 != MIAN && item.md5 != NO_IMAGE)
            missing << item.category + QLatin1Char('/') + item.name + QStringLiteral(".jpg");
    const QDir folder(downloadFolder);
    missing.erase(std::remove_if(missing.begin(), missing.end(),
                                 [&folder](const QString &path) { return folder.exists(path); }),
                  missing.end());
    return missing;
}

void TestEndToEnd::logInWithTheDemoAccount()
{
    const QString login = waitForWindow(LOGIN_TITLE);
    QVERIFY(!login.isEmpty());
    focus(login);
    typeText(DemoData::USERNAME);
    pressKeys({QStringLiteral("Tab")});
    typeText(DemoData::PASSWORD);
    screenshot(login, QStringLiteral("login"));
    pressKeys({QStringLiteral("Tab"), QStringLiteral("space")}); // onto 登录 and press it

    mainWindow = waitForWindow(MAIN_TITLE);
    QVERIFY(!mainWindow.isEmpty());
    QVERIFY(waitUntilGone(LOGIN_TITLE));
    focus(mainWindow);
    screenshot(mainWindow, QStringLiteral("main"));
}

void TestEndToEnd::uploadTheSampleFolder()
{
    QVERIFY(!mainWindow.isEmpty());
    const QString samples = work.filePath(QStringLiteral("server/samples"));

    pressKeys({QStringLiteral("Tab"), QStringLiteral("space")}); // 浏览...
    chooseFolderInDialog(UPLOAD_DIALOG_TITLE, samples, mainWindow);
    pressKeys({QStringLiteral("Tab"), QStringLiteral("space")}); // 开始上传

    // The pictures the upload rules select, with the outcome each must reach.
    QMap<QString, QString> expected;
    expected.insert(QStringLiteral("红烧排骨.jpg"), UPLOADED);
    expected.insert(QStringLiteral("清蒸鲈鱼.PNG"), UPLOADED);
    expected.insert(QStringLiteral("西湖牛肉羹.jpeg"), UPLOADED);
    expected.insert(QStringLiteral("酸辣汤.Gif"), UPLOADED);
    expected.insert(ALREADY_STORED_SAMPLE, EXISTS);
    QTRY_COMPARE_WITH_TIMEOUT(imageStatuses(), expected, UPLOAD_MS);
    screenshot(mainWindow, QStringLiteral("upload"));

    // Every uploaded picture is in the bucket byte for byte and registered
    // once for the demo account under its own name; the one already stored is
    // not registered again.
    QDir sampleDir(samples);
    QMap<QString, QString> sampleMd5s; // name -> MD5
    for (const QString &path : {QStringLiteral("红烧排骨.jpg"), QStringLiteral("清蒸鲈鱼.PNG"),
                                QStringLiteral("汤品/西湖牛肉羹.jpeg"), QStringLiteral("汤品/酸辣汤.Gif")})
        sampleMd5s.insert(QFileInfo(path).fileName(), md5Hex(readFile(sampleDir.filePath(path))));

    ObjectStore bucket(work.filePath(QStringLiteral("server/objects")));
    SiteStore site;
    QVERIFY(site.open(work.filePath(QStringLiteral("server/site.db"))));
    QMap<QString, QString> registered;
    for (const Registration &registration : site.registrations()) {
        QCOMPARE(registration.username, DemoData::USERNAME);
        QVERIFY2(!registered.contains(registration.name), qPrintable(registration.name));
        registered.insert(registration.name, registration.md5);
    }
    QCOMPARE(registered, sampleMd5s);
    for (auto it = sampleMd5s.cbegin(); it != sampleMd5s.cend(); ++it) {
        const auto stored = bucket.get(it.value());
        QVERIFY2(stored.has_value(), qPrintable(it.key()));
        QCOMPARE(md5Hex(*stored), it.value());
    }
    QCOMPARE(tool.state(), QProcess::Running);
}

void TestEndToEnd::downloadTheDemoNumber()
{
    QVERIFY(!mainWindow.isEmpty());
    downloadFolder = work.filePath(QStringLiteral("downloads"));
    QVERIFY(QDir().mkpath(downloadFolder));

    focus(mainWindow);
    pressKeys({QStringLiteral("ctrl+Tab")}); // 下载图片; the number field takes the focus
    typeText(DemoData::NUMBER);
    pressKeys({QStringLiteral("Tab"), QStringLiteral("Tab"), QStringLiteral("space")}); // past 下载目录 onto 浏览...
    chooseFolderInDialog(DOWNLOAD_DIALOG_TITLE, downloadFolder, mainWindow);
    pressKeys({QStringLiteral("Tab"), QStringLiteral("Tab"), QStringLiteral("space")}); // past 打开存储目录 onto 开始下载

    QTRY_COMPARE_WITH_TIMEOUT(missingDownloads(), QStringList(), DOWNLOAD_MS);
    screenshot(mainWindow, QStringLiteral("download"));

    // Each picture is the bucket's bytes; the "MIAN" and "NO_IMAGE" rows leave no file.
    SiteStore site;
    QVERIFY(site.open(work.filePath(QStringLiteral("server/site.db"))));
    const auto number = site.number(DemoData::NUMBER);
    QVERIFY(number.has_value());
    ObjectStore bucket(work.filePath(QStringLiteral("server/objects")));
    const QDir folder(downloadFolder);
    int pictures = 0;
    for (const NumberItem &item : number->items) {
        const QString path = folder.filePath(item.category + QLatin1Char('/') + item.name + QStringLiteral(".jpg"));
        if (item.md5 == MIAN || item.md5 == NO_IMAGE) {
            QVERIFY2(!QFile::exists(path), qPrintable(path));
            continue;
        }
        const auto stored = bucket.get(item.md5);
        QVERIFY2(stored.has_value(), qPrintable(item.md5));
        QVERIFY2(readFile(path) == *stored, qPrintable(path));
        ++pictures;
    }
    QVERIFY(pictures > 0);
    QVERIFY(readFile(folder.filePath(DemoData::NUMBER + QStringLiteral(".xls"))).startsWith("<?xml"));
    QCOMPARE(tool.state(), QProcess::Running);
}

void TestEndToEnd::logInByItselfAtTheNextStart()
{
    stopProcess(tool, COMMAND_MS);
    QVERIFY(startTool());
    mainWindow = waitForWindow(MAIN_TITLE);
    QVERIFY(!mainWindow.isEmpty());
    QVERIFY(findWindow(LOGIN_TITLE).isEmpty());
    screenshot(mainWindow, QStringLiteral("next-start"));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
