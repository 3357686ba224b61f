// The command line of the real program, run as a child process with no
// display: its standard output and error, its exit code, what lands at the
// site (the real stand-in, or the scripted server for answers the stand-in
// never gives) and what it leaves in its own database and download folders.

#include "childprocess.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <system_error>

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

const QString TOOL = QStringLiteral(ZAMTU_BATCH_EXECUTABLE);
const QString SERVER = QStringLiteral(ZAMTU_SERVER_EXECUTABLE);
const QString VERSION = QStringLiteral(ZAMTU_VERSION);
const QString TOOL_NAME = QStringLiteral("zamtu-batch");
const QByteArray SITE_CONFIG = "[Server]\ndomain=http://www.zamtu.test\n";

const QString DEMO_USER = QStringLiteral("demo");
const QString DEMO_PASSWORD = QStringLiteral("zamtu2026");
const QString DEMO_NUMBER = QStringLiteral("D20260001");
const QString EXPIRED_NUMBER = QStringLiteral("D20190001");
// A number whose pictures include one the bucket does not hold, one whose name
// could reach outside the download folder, and one without a picture.
const QString MISSING_NUMBER = QStringLiteral("T20260002");
const QString ABSENT_MD5 = QStringLiteral("0123456789abcdef0123456789abcdef");
// On the slow stand-in: enough pictures that a run is still going when it is interrupted.
const QString LONG_NUMBER = QStringLiteral("L20260003");
const int LONG_NUMBER_ROWS = 48;
const int LONG_UPLOAD_PICTURES = 30;
const int SLOW_SERVER_DELAY_MS = 400;

const QString NO_ACCOUNT = QStringLiteral("没有记住的账号，请先运行：zamtu-batch login 用户名");
const QString SERVER_ERROR = QStringLiteral("网络连接错误或服务器异常");
const QString VERSION_ERROR = QStringLiteral("系统已经升级，请下载最新版本");
const QString TOKEN_ERROR = QStringLiteral("登陆超时");

const int START_MS = 15000;
const int RUN_MS = 60000;
const int POLL_MS = 20;

// Final statuses of a picture in the upload queue.
const QStringList FINAL_UPLOAD_STATUSES{QStringLiteral("已经存在"), QStringLiteral("上传成功"),
                                        QStringLiteral("OSS失败"), QStringLiteral("登记失败"),
                                        QStringLiteral("读取失败"), QStringLiteral("已停止")};

struct ToolResult
{
    bool ended = false;
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QStringList out;  // lines of standard output
    QString err;      // standard error, whole

    QString summary() const { return out.isEmpty() ? QString() : out.last(); }
    QStringList pictureLines() const { return out.mid(0, qMax(0, int(out.size()) - 1)); }
};

QStringList lines(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

QString md5Of(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

// A flat picture the upload rules select (when its name holds a Chinese
// character): width and height add up to more than 2000. The seed gives each
// its own bytes.
bool writePicture(const QString &path, int seed, int width = 1001, int height = 1000)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(qRgb(seed * 37 % 256, seed * 91 % 256, seed * 53 % 256));
    image.setPixel(seed % width, seed / width % height, qRgb(255 - seed % 256, 0, 0));
    return image.save(path, "PNG");
}

bool writeText(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Rows of a query on a copy of the tool's database, opened read-only.
QList<QStringList> queryDatabase(const QString &file, const QString &sql)
{
    QList<QStringList> rows;
    const QString connection = QStringLiteral("tool-") + QString::number(quintptr(&rows));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(file);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=1000"));
        if (db.open()) {
            QSqlQuery query(sql, db);
            while (query.next()) {
                QStringList row;
                for (int i = 0; i < query.record().count(); ++i)
                    row.append(query.value(i).toString());
                rows.append(row);
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return rows;
}

QStringList filesUnder(const QString &folder, const QStringList &nameFilters = {})
{
    QStringList files;
    QDirIterator it(folder, nameFilters, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}

} // namespace

class TestCommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void helpAndVersion_data();
    void helpAndVersion();
    void usageErrors_data();
    void usageErrors();
    void noRememberedAccount_data();
    void noRememberedAccount();
    void loginRefused_data();
    void loginRefused();
    void loginReadsPasswordFromStandardInput_data();
    void loginReadsPasswordFromStandardInput();
    void uploadNewThenExistingPictures();
    void download_data();
    void download();
    void numberRefused_data();
    void numberRefused();
    void siteUnreachable_data();
    void siteUnreachable();
    void siteAnswers_data();
    void siteAnswers();
    void interruptStopsRun_data();
    void interruptStopsRun();
    void terminalHidesPasswordAndDrawsProgressInPlace();

private:
    bool startServer(QProcess &process, const QString &dataDir, const QStringList &options, quint16 &port);
    bool serverCommand(const QString &dataDir, const QStringList &arguments, QStringList *output = nullptr);
    bool createNumber(const QString &dataDir, const QString &no, const QStringList &rows);
    // A copy of the tool in a folder of its own; with an account, the one the
    // logged-in tool remembers.
    QString makeTool(const QString &name, bool withAccount, const QByteArray &config = SITE_CONFIG);
    QProcessEnvironment toolEnvironment(quint16 proxyPort) const;
    ToolResult runTool(const QString &toolDir, const QStringList &arguments, const QByteArray &input = QByteArray(),
                       quint16 proxyPort = 0);
    QString newFolder(const QString &name);

    QTemporaryDir work;
    QProcess server;
    QProcess slowServer;
    quint16 serverPort = 0;
    quint16 slowServerPort = 0;
    QString serverData;
    QString slowServerData;
    QString loggedInTool;
    QString pictures;      // a few pictures the upload rules select, and some they reject
    QStringList selectedPictures;
    QString manyPictures;  // enough for a run that takes a while on the slow stand-in
    QString cucumberMd5;   // a picture both stand-ins hold
    int toolCount = 0;
};

bool TestCommandLine::startServer(QProcess &process, const QString &dataDir, const QStringList &options,
                                  quint16 &port)
{
    port = startStandInServer(process, SERVER, dataDir, options, START_MS);
    return port != 0;
}

bool TestCommandLine::serverCommand(const QString &dataDir, const QStringList &arguments, QStringList *output)
{
    QProcess process;
    process.start(SERVER, QStringList{QStringLiteral("--data"), dataDir} + arguments);
    if (!process.waitForFinished(START_MS) || process.exitCode() != 0) {
        qWarning() << "zamtu-server" << arguments << process.readAllStandardError();
        return false;
    }
    if (output)
        *output = lines(process.readAllStandardOutput());
    return true;
}

bool TestCommandLine::createNumber(const QString &dataDir, const QString &no, const QStringList &rows)
{
    const QString file = work.filePath(no + QStringLiteral(".txt"));
    return writeText(file, rows.join(QLatin1Char('\n')).toUtf8() + '\n')
        && serverCommand(dataDir, {QStringLiteral("create-number"), no, file});
}

QString TestCommandLine::makeTool(const QString &name, bool withAccount, const QByteArray &config)
{
    const QDir dir(work.filePath(QStringLiteral("tools/%1-%2").arg(++toolCount).arg(name)));
    if (!QDir().mkpath(dir.path()))
        return QString();
    // A hard link where the file system allows it: the same program, not a copy of it.
    std::error_code error;
    std::filesystem::create_hard_link(QFile::encodeName(TOOL).toStdString(),
                                      QFile::encodeName(dir.filePath(TOOL_NAME)).toStdString(), error);
    if (error && !QFile::copy(TOOL, dir.filePath(TOOL_NAME)))
        return QString();
    if (!writeText(dir.filePath(QStringLiteral("config.ini")), config))
        return QString();
    if (withAccount) {
        if (!QDir().mkpath(dir.filePath(QStringLiteral("data")))
            || !QFile::copy(QDir(loggedInTool).filePath(QStringLiteral("data/zam.dat")),
                            dir.filePath(QStringLiteral("data/zam.dat"))))
            return QString();
    }
    return dir.path();
}

QProcessEnvironment TestCommandLine::toolEnvironment(quint16 proxyPort) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // No display of any kind: the command line must not need one.
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "http_proxy", "HTTP_PROXY",
                             "no_proxy", "NO_PROXY", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), work.filePath(QStringLiteral("home")));
    if (proxyPort != 0)
        environment.insert(QStringLiteral("http_proxy"), QStringLiteral("http://127.0.0.1:%1").arg(proxyPort));
    return environment;
}

// Runs the tool to its end while the event loop turns (the scripted server
// answers from it). Without input standard input is closed at once.
ToolResult TestCommandLine::runTool(const QString &toolDir, const QStringList &arguments, const QByteArray &input,
                                    quint16 proxyPort)
{
    ToolResult result;
    QProcess process;
    process.setProcessEnvironment(toolEnvironment(proxyPort));
    process.setWorkingDirectory(toolDir);
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(QDir(toolDir).filePath(TOOL_NAME), arguments);
    if (!process.waitForStarted(START_MS))
        return result;
    process.write(input);
    process.closeWriteChannel();
    result.ended = !finished.isEmpty() || finished.wait(RUN_MS);
    if (!result.ended) {
        stopProcess(process, START_MS);
        qWarning().noquote() << "The tool did not end:" << arguments;
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.out = lines(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

QString TestCommandLine::newFolder(const QString &name)
{
    const QString path = work.filePath(QStringLiteral("folders/%1-%2").arg(++toolCount).arg(name));
    return QDir().mkpath(path) ? path : QString();
}

void TestCommandLine::initTestCase()
{
    QVERIFY(work.isValid());
    QVERIFY(QDir().mkpath(work.filePath(QStringLiteral("home"))));

    // Both stand-ins hold the demo data; the numbers are added before they serve.
    serverData = work.filePath(QStringLiteral("server"));
    slowServerData = work.filePath(QStringLiteral("slow-server"));
    for (const QString &data : {serverData, slowServerData})
        QVERIFY(serverCommand(data, {QStringLiteral("seed-demo")}));
    QVERIFY(serverCommand(serverData, {QStringLiteral("add-account"), QStringLiteral("张三"), QStringLiteral("密码123")}));
    cucumberMd5 = md5Hex(readFile(QDir(serverData).filePath(QStringLiteral("samples/拍黄瓜.jpg"))));
    QCOMPARE(cucumberMd5.size(), 32);

    QVERIFY(createNumber(serverData, MISSING_NUMBER,
                         {QStringLiteral("凉菜\t拍黄瓜\t") + cucumberMd5, QStringLiteral("热菜\t缺图\t") + ABSENT_MD5,
                          QStringLiteral("凉菜\t../逃逸\t") + cucumberMd5, QStringLiteral("主食\t米饭\tMIAN")}));
    QStringList longRows;
    for (int i = 1; i <= LONG_NUMBER_ROWS; ++i)
        longRows.append(QStringLiteral("热菜\t菜%1\t").arg(i, 2, 10, QLatin1Char('0')) + cucumberMd5);
    QVERIFY(createNumber(slowServerData, LONG_NUMBER, longRows));

    QVERIFY(startServer(server, serverData, {}, serverPort));
    QVERIFY(startServer(slowServer, slowServerData, {QStringLiteral("--delay-ms"), QString::number(SLOW_SERVER_DELAY_MS)},
                        slowServerPort));

    pictures = work.filePath(QStringLiteral("pictures"));
    const QDir pictureDir(pictures);
    selectedPictures = {QStringLiteral("红烧排骨.png"), QStringLiteral("汤品/酸辣汤.png"), QStringLiteral("红烧\t鱼块.png")};
    for (int i = 0; i < selectedPictures.size(); ++i)
        QVERIFY(writePicture(pictureDir.filePath(selectedPictures.at(i)), i + 1));
    QVERIFY(writePicture(pictureDir.filePath(QStringLiteral("小份凉菜.png")), 10, 1000, 1000));
    QVERIFY(writePicture(pictureDir.filePath(QStringLiteral("english.png")), 11));
    QVERIFY(writeText(pictureDir.filePath(QStringLiteral("菜单说明.txt")), "menu\n"));

    manyPictures = work.filePath(QStringLiteral("many-pictures"));
    for (int i = 0; i < LONG_UPLOAD_PICTURES; ++i)
        QVERIFY(writePicture(QDir(manyPictures).filePath(QStringLiteral("菜%1.png").arg(i)), 100 + i));

    // The tool the other tools take their remembered account from.
    loggedInTool = makeTool(QStringLiteral("logged-in"), false);
    QVERIFY(!loggedInTool.isEmpty());
    const ToolResult login = runTool(loggedInTool, {QStringLiteral("login"), DEMO_USER},
                                     DEMO_PASSWORD.toUtf8() + '\n', serverPort);
    QVERIFY2(login.exitCode == 0, qPrintable(login.err));
}

void TestCommandLine::cleanupTestCase()
{
    stopProcess(server, START_MS);
    stopProcess(slowServer, START_MS);
}

void TestCommandLine::helpAndVersion_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected"); // lines standard output must hold

    const QStringList help{QStringLiteral("  zamtu-batch login 用户名"), QStringLiteral("  zamtu-batch upload 图片目录"),
                           QStringLiteral("  zamtu-batch download 下载编号 下载目录"),
                           QStringLiteral("  4  站点拒绝请求或无法连接")};
    const QStringList version{QStringLiteral("zamtu-batch ") + VERSION};
    QTest::newRow("--help") << QStringList{QStringLiteral("--help")} << help;
    QTest::newRow("-h") << QStringList{QStringLiteral("-h")} << help;
    QTest::newRow("help wins over a command") << QStringList{QStringLiteral("upload"), QStringLiteral("--help")} << help;
    QTest::newRow("--version") << QStringList{QStringLiteral("--version")} << version;
    QTest::newRow("-v") << QStringList{QStringLiteral("-v")} << version;
}

void TestCommandLine::helpAndVersion()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);

    const ToolResult result = runTool(loggedInTool, arguments);
    QVERIFY(result.ended);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QString());
    for (const QString &line : expected)
        QVERIFY2(result.out.contains(line), qPrintable(result.out.join(QLatin1Char('\n'))));
    if (expected.size() == 1)
        QCOMPARE(result.out, expected);
}

void TestCommandLine::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message"); // the first line of standard error
    QTest::addColumn<bool>("withUsage");  // the usage lines follow it

    const QString missing = work.filePath(QStringLiteral("no-such-folder"));
    const QString file = work.filePath(QStringLiteral("pictures/菜单说明.txt"));
    const QString folder = work.filePath(QStringLiteral("pictures"));
    const QByteArray none;
    const QString program = QStringLiteral("zamtu-batch：");
    const QString login = QStringLiteral("（zamtu-batch login 用户名）");
    const QString upload = QStringLiteral("（zamtu-batch upload 图片目录）");
    const QString download = QStringLiteral("（zamtu-batch download 下载编号 下载目录）");

    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << none
                                    << program + QStringLiteral("未知选项：--bogus") << true;
    QTest::newRow("unknown option after a command")
        << QStringList{QStringLiteral("upload"), QStringLiteral("-x"), folder} << none
        << program + QStringLiteral("未知选项：-x") << true;
    QTest::newRow("unknown command") << QStringList{QStringLiteral("frobnicate")} << none
                                     << program + QStringLiteral("未知命令：frobnicate") << true;
    QTest::newRow("no command") << QStringList{QStringLiteral("--")} << none << program + QStringLiteral("缺少命令")
                                << true;
    QTest::newRow("login without user") << QStringList{QStringLiteral("login")} << none
                                        << program + QStringLiteral("缺少参数：用户名") + login << true;
    QTest::newRow("login with two users") << QStringList{QStringLiteral("login"), DEMO_USER, QStringLiteral("other")}
                                          << none << program + QStringLiteral("多余的参数：other") + login << true;
    QTest::newRow("upload without folder") << QStringList{QStringLiteral("upload")} << none
                                           << program + QStringLiteral("缺少参数：图片目录") + upload << true;
    QTest::newRow("upload with two folders") << QStringList{QStringLiteral("upload"), folder, folder} << none
                                             << program + QStringLiteral("多余的参数：") + folder + upload << true;
    QTest::newRow("download without anything") << QStringList{QStringLiteral("download")} << none
                                               << program + QStringLiteral("缺少参数：下载编号 下载目录") + download
                                               << true;
    QTest::newRow("download without folder") << QStringList{QStringLiteral("download"), DEMO_NUMBER} << none
                                             << program + QStringLiteral("缺少参数：下载目录") + download << true;
    QTest::newRow("download with one too many")
        << QStringList{QStringLiteral("download"), DEMO_NUMBER, folder, QStringLiteral("extra")} << none
        << program + QStringLiteral("多余的参数：extra") + download << true;
    QTest::newRow("upload folder missing") << QStringList{QStringLiteral("upload"), missing} << none
                                           << QStringLiteral("上传目录不存在：") + missing << false;
    QTest::newRow("upload folder is a file") << QStringList{QStringLiteral("upload"), file} << none
                                             << QStringLiteral("上传目录不存在：") + file << false;
    QTest::newRow("upload folder empty") << QStringList{QStringLiteral("upload"), QString()} << none
                                         << QStringLiteral("上传目录不存在：") << false;
    QTest::newRow("download folder missing") << QStringList{QStringLiteral("download"), DEMO_NUMBER, missing} << none
                                             << QStringLiteral("下载目录不存在：") + missing << false;
    QTest::newRow("download folder is a file") << QStringList{QStringLiteral("download"), DEMO_NUMBER, file} << none
                                               << QStringLiteral("下载目录不存在：") + file << false;
    QTest::newRow("login without any input") << QStringList{QStringLiteral("login"), DEMO_USER} << none
                                             << QStringLiteral("没有读到密码") << false;
}

void TestCommandLine::usageErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);
    QFETCH(bool, withUsage);

    // A tool that could log in and run: only the command line stops it.
    const ToolResult result = runTool(loggedInTool, arguments, input, serverPort);
    QVERIFY(result.ended);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 2);
    QCOMPARE(result.out, QStringList());
    const QStringList err = result.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(!err.isEmpty());
    QCOMPARE(err.first(), message);
    if (withUsage) {
        QCOMPARE(err.at(1), QStringLiteral("用法："));
        QVERIFY2(err.contains(QStringLiteral("  zamtu-batch download 下载编号 下载目录")), qPrintable(result.err));
    } else {
        QCOMPARE(err.size(), 1);
    }
}

void TestCommandLine::noRememberedAccount_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("upload") << QStringList{QStringLiteral("upload"), pictures};
    QTest::newRow("download") << QStringList{QStringLiteral("download"), DEMO_NUMBER, work.path()};
}

void TestCommandLine::noRememberedAccount()
{
    QFETCH(QStringList, arguments);

    const QString tool = makeTool(QStringLiteral("no-account"), false);
    QVERIFY(!tool.isEmpty());
    const ToolResult result = runTool(tool, arguments, QByteArray(), serverPort);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.out, QStringList());
    QCOMPARE(result.err, NO_ACCOUNT + QLatin1Char('\n'));
}

void TestCommandLine::loginRefused_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message");

    QTest::newRow("wrong password") << DEMO_USER << QByteArray("wrong\n") << QStringLiteral("密码不正确");
    QTest::newRow("no such account") << QStringLiteral("nobody") << QByteArray("zamtu2026\n")
                                     << QStringLiteral("账号不存在");
}

void TestCommandLine::loginRefused()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);

    const QString tool = makeTool(QStringLiteral("refused"), false);
    QVERIFY(!tool.isEmpty());
    const ToolResult result = runTool(tool, {QStringLiteral("login"), user}, input, serverPort);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, 3);
    QCOMPARE(result.out, QStringList());
    QCOMPARE(result.err, message + QLatin1Char('\n'));
    // Nothing remembered: a run afterwards still has no account.
    QCOMPARE(queryDatabase(QDir(tool).filePath(QStringLiteral("data/zam.dat")),
                           QStringLiteral("SELECT username FROM user")),
             QList<QStringList>());
    const ToolResult upload = runTool(tool, {QStringLiteral("upload"), pictures}, QByteArray(), serverPort);
    QCOMPARE(upload.exitCode, 3);
}

void TestCommandLine::loginReadsPasswordFromStandardInput_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("password");

    QTest::newRow("line feed") << DEMO_USER << QByteArray("zamtu2026\n") << DEMO_PASSWORD;
    QTest::newRow("carriage return and line feed") << DEMO_USER << QByteArray("zamtu2026\r\n") << DEMO_PASSWORD;
    QTest::newRow("no line end") << DEMO_USER << QByteArray("zamtu2026") << DEMO_PASSWORD;
    QTest::newRow("first line only") << DEMO_USER << QByteArray("zamtu2026\nsomething else\n") << DEMO_PASSWORD;
    QTest::newRow("Chinese account and password") << QStringLiteral("张三") << QStringLiteral("密码123\n").toUtf8()
                                                  << QStringLiteral("密码123");
}

void TestCommandLine::loginReadsPasswordFromStandardInput()
{
    QFETCH(QString, user);
    QFETCH(QByteArray, input);
    QFETCH(QString, password);

    const QString tool = makeTool(QStringLiteral("login"), false);
    QVERIFY(!tool.isEmpty());
    const ToolResult result = runTool(tool, {QStringLiteral("login"), user}, input, serverPort);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, QStringList{QStringLiteral("登录成功：") + user});
    QCOMPARE(result.err, QString());
    // Remembered as the login page remembers it: the MD5 of the password.
    const QList<QStringList> users = queryDatabase(QDir(tool).filePath(QStringLiteral("data/zam.dat")),
                                                   QStringLiteral("SELECT username, password FROM user"));
    QCOMPARE(users, (QList<QStringList>{{user, md5Of(password)}}));
}

void TestCommandLine::uploadNewThenExistingPictures()
{
    const QString tool = makeTool(QStringLiteral("upload"), true);
    QVERIFY(!tool.isEmpty());
    QStringList uploaded;
    QStringList existing;
    QMap<QString, QString> md5ByName;
    for (const QString &picture : selectedPictures) {
        const QString path = QFileInfo(QDir(pictures).filePath(picture)).absoluteFilePath();
        QString shown = path;
        shown.replace(QLatin1Char('\t'), QLatin1String("\\t")); // one line per picture, one tab between fields
        uploaded.append(QStringLiteral("上传成功\t") + shown);
        existing.append(QStringLiteral("已经存在\t") + shown);
        md5ByName.insert(QFileInfo(path).fileName(), md5Hex(readFile(path)));
    }

    const ToolResult first = runTool(tool, {QStringLiteral("upload"), pictures}, QByteArray(), serverPort);
    QVERIFY(first.ended);
    QCOMPARE(first.exitCode, 0);
    QCOMPARE(sorted(first.pictureLines()), sorted(uploaded));
    QVERIFY2(first.summary().startsWith(QStringLiteral("上传完毕：总图片 3，已经存在 0，上传失败 0，上传成功 3，")),
             qPrintable(first.summary()));
    // Standard error is no terminal here: progress comes as whole lines, the last one final.
    QVERIFY2(!first.err.contains(QLatin1Char('\r')), qPrintable(first.err));
    QVERIFY2(first.err.endsWith(QStringLiteral("已完成 3/3\n")), qPrintable(first.err));

    // Each registered once, for the remembered account, under its own name.
    QStringList registrations;
    QVERIFY(serverCommand(serverData, {QStringLiteral("list-registrations")}, &registrations));
    QMap<QString, QString> registered;
    for (const QString &line : registrations) {
        QStringList fields = line.split(QLatin1Char('\t'));
        QVERIFY2(fields.size() >= 4, qPrintable(line));
        QCOMPARE(fields.takeFirst(), DEMO_USER);
        const QString md5 = fields.takeFirst();
        fields.removeLast(); // the time
        const QString name = fields.join(QLatin1Char('\t'));
        QVERIFY2(!registered.contains(name), qPrintable(name));
        registered.insert(name, md5);
    }
    QCOMPARE(registered, md5ByName);

    const ToolResult second = runTool(tool, {QStringLiteral("upload"), pictures}, QByteArray(), serverPort);
    QVERIFY(second.ended);
    QCOMPARE(second.exitCode, 0);
    QCOMPARE(sorted(second.pictureLines()), sorted(existing));
    QVERIFY2(second.summary().startsWith(QStringLiteral("上传完毕：总图片 3，已经存在 3，上传失败 0，上传成功 0，")),
             qPrintable(second.summary()));
    QVERIFY(serverCommand(serverData, {QStringLiteral("list-registrations")}, &registrations));
    QCOMPARE(registrations.size(), 3);
}

void TestCommandLine::download_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("pictureLines");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("every picture") << DEMO_NUMBER << 0
                                   << QStringList{QStringLiteral("下载成功\t凉菜/拍黄瓜"),
                                                  QStringLiteral("下载成功\t凉菜/夫妻肺片"),
                                                  QStringLiteral("下载成功\t热菜/红烧肉")}
                                   << QStringLiteral("下载完毕：成功 3，失败 0，无需下载 2，")
                                   << QStringList{DEMO_NUMBER + QStringLiteral(".xls"), QStringLiteral("凉菜/夫妻肺片.jpg"),
                                                  QStringLiteral("凉菜/拍黄瓜.jpg"), QStringLiteral("热菜/红烧肉.jpg")};
    QTest::newRow("a picture missing, a name unsafe")
        << MISSING_NUMBER << 1
        << QStringList{QStringLiteral("下载成功\t凉菜/拍黄瓜"), QStringLiteral("下载失败\t热菜/缺图\tHTTP 404"),
                       QStringLiteral("下载失败\t凉菜/../逃逸\t名称不安全")}
        << QStringLiteral("下载完毕：成功 1，失败 2，无需下载 1，")
        << QStringList{MISSING_NUMBER + QStringLiteral(".xls"), QStringLiteral("凉菜/拍黄瓜.jpg")};
}

void TestCommandLine::download()
{
    QFETCH(QString, number);
    QFETCH(int, exitCode);
    QFETCH(QStringList, pictureLines);
    QFETCH(QString, summary);
    QFETCH(QStringList, files);

    const QString folder = newFolder(QStringLiteral("download"));
    QVERIFY(!folder.isEmpty());
    const ToolResult result = runTool(loggedInTool, {QStringLiteral("download"), number, folder}, QByteArray(),
                                      serverPort);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(sorted(result.pictureLines()), sorted(pictureLines));
    QVERIFY2(result.summary().startsWith(summary), qPrintable(result.summary()));

    // Only complete pictures, each one the bucket holds, and no part file.
    QCOMPARE(filesUnder(folder), sorted(files));
    QStringList stored;
    QVERIFY(serverCommand(serverData, {QStringLiteral("list-objects")}, &stored));
    for (const QString &file : files) {
        if (file.endsWith(QLatin1String(".jpg")))
            QVERIFY2(stored.contains(md5Hex(readFile(QDir(folder).filePath(file)))), qPrintable(file));
    }
}

void TestCommandLine::numberRefused_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("summary");

    QTest::newRow("unknown") << QStringLiteral("X20990000") << QStringLiteral("下载编号不存在")
                             << QStringLiteral("查询下载编号失败（返回码 1003）");
    QTest::newRow("expired") << EXPIRED_NUMBER << QStringLiteral("下载编号失效")
                             << QStringLiteral("查询下载编号失败（返回码 1004）");
}

void TestCommandLine::numberRefused()
{
    QFETCH(QString, number);
    QFETCH(QString, message);
    QFETCH(QString, summary);

    const QString folder = newFolder(QStringLiteral("refused"));
    const ToolResult result = runTool(loggedInTool, {QStringLiteral("download"), number, folder}, QByteArray(),
                                      serverPort);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, 4);
    QCOMPARE(result.out, QStringList{summary});
    QVERIFY2(result.err.split(QLatin1Char('\n')).contains(message), qPrintable(result.err));
    QCOMPARE(filesUnder(folder), QStringList());
}

void TestCommandLine::siteUnreachable_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");

    QTest::newRow("login") << QStringList{QStringLiteral("login"), DEMO_USER} << QByteArray("zamtu2026\n");
    QTest::newRow("upload") << QStringList{QStringLiteral("upload"), pictures} << QByteArray();
    QTest::newRow("download") << QStringList{QStringLiteral("download"), DEMO_NUMBER, work.path()} << QByteArray();
}

void TestCommandLine::siteUnreachable()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);

    // A local port nobody listens on, and no proxy.
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    const QString tool = makeTool(QStringLiteral("unreachable"), true,
                                  QStringLiteral("[Server]\ndomain=http://127.0.0.1:%1\n").arg(port).toUtf8());
    QVERIFY(!tool.isEmpty());

    const ToolResult result = runTool(tool, arguments, input);
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, 4);
    QCOMPARE(result.out, QStringList());
    QCOMPARE(result.err, SERVER_ERROR + QLatin1Char('\n'));
}

void TestCommandLine::siteAnswers_data()
{
    QTest::addColumn<QString>("command");       // login, upload or download
    QTest::addColumn<ScriptedResponse>("login");
    QTest::addColumn<ScriptedResponse>("later"); // the registration (upload) or the number query (download)
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");       // written to standard error exactly once
    QTest::addColumn<QString>("summary");       // the last line of standard output, at its start
    QTest::addColumn<QStringList>("statuses");  // of the upload's pictures
    QTest::addColumn<bool>("holdLater");        // registrations after the first are answered only much later

    const ScriptedResponse loggedIn = ScriptedResponse::ok("code=0000&token=t0ken");
    const ScriptedResponse registered = ScriptedResponse::ok("code=0000");
    const auto code = [](const char *value) { return ScriptedResponse::ok(QByteArray("code=") + value); };
    const QString login = QStringLiteral("login");
    const QString upload = QStringLiteral("upload");
    const QString download = QStringLiteral("download");
    const QString numberFailed = QStringLiteral("查询下载编号失败（");

    QTest::newRow("login: new version needed") << login << code("8001") << registered << 4 << VERSION_ERROR
                                               << QString() << QStringList() << false;
    QTest::newRow("login: token refused") << login << code("8002") << registered << 3 << TOKEN_ERROR << QString()
                                          << QStringList() << false;
    QTest::newRow("login: site failing") << login << code("9001") << registered << 4 << SERVER_ERROR << QString()
                                         << QStringList() << false;
    QTest::newRow("login: unknown code") << login << code("7777") << registered << 4
                                         << QStringLiteral("登录失败（返回码 7777）") << QString() << QStringList() << false;
    QTest::newRow("login: HTTP 500") << login << ScriptedResponse::withStatus(500) << registered << 4 << SERVER_ERROR
                                     << QString() << QStringList() << false;
    QTest::newRow("login: connection dropped") << login << ScriptedResponse::dropped() << registered << 4
                                               << SERVER_ERROR << QString() << QStringList() << false;
    QTest::newRow("upload: remembered password refused") << upload << code("1002") << registered << 3
                                                         << QStringLiteral("密码不正确") << QString() << QStringList() << false;
    QTest::newRow("upload: every picture registered") << upload << loggedIn << registered << 0 << QString()
                                                       << QStringLiteral("上传完毕：总图片 2，已经存在 0，上传失败 0，上传成功 2，")
                                                       << QStringList{QStringLiteral("上传成功"), QStringLiteral("上传成功")} << false;
    // The run goes on as in the window; the command still tells of the lost login.
    QTest::newRow("upload: token lost during the run")
        << upload << loggedIn << code("8002") << 3 << TOKEN_ERROR
        << QStringLiteral("上传完毕：总图片 2，已经存在 0，上传失败 2，上传成功 0，")
        << QStringList{QStringLiteral("登记失败"), QStringLiteral("登记失败")} << false;
    QTest::newRow("upload: new version needed during the run")
        << upload << loggedIn << code("8001") << 4 << VERSION_ERROR << QStringLiteral("上传已停止：总图片 2，")
        << QStringList{QStringLiteral("登记失败"), QStringLiteral("已停止")} << true;
    QTest::newRow("download: token refused") << download << loggedIn << code("8002") << 3 << TOKEN_ERROR
                                             << numberFailed << QStringList() << false;
    QTest::newRow("download: new version needed") << download << loggedIn << code("8001") << 4 << VERSION_ERROR
                                                  << numberFailed << QStringList() << false;
    QTest::newRow("download: site failing") << download << loggedIn << code("9001") << 4 << SERVER_ERROR
                                            << numberFailed << QStringList() << false;
    QTest::newRow("download: unknown code") << download << loggedIn << code("7777") << 4
                                            << QStringLiteral("查询下载编号失败（返回码 7777）") << numberFailed
                                            << QStringList() << false;
    QTest::newRow("download: connection dropped") << download << loggedIn << ScriptedResponse::dropped() << 4
                                                  << SERVER_ERROR << numberFailed << QStringList() << false;
}

void TestCommandLine::siteAnswers()
{
    QFETCH(QString, command);
    QFETCH(ScriptedResponse, login);
    QFETCH(ScriptedResponse, later);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    QFETCH(QString, summary);
    QFETCH(QStringList, statuses);
    QFETCH(bool, holdLater);

    // The scripted server is the proxy for every host: the site answers as
    // scripted, the picture host holds nothing, the bucket takes every upload.
    // Held registrations keep a run going that is to be stopped.
    TestHttpServer site;
    int registrations = 0;
    site.setHandler([&](const RecordedRequest &request) {
        const QByteArray host = request.header("Host");
        if (host == "img.zamtu.test")
            return ScriptedResponse::withStatus(404);
        if (host == "zamtu.oss.zamtu.test")
            return ScriptedResponse::withStatus(204);
        if (request.target.contains("f=login"))
            return login;
        ScriptedResponse response = later;
        if (holdLater && request.target.contains("f=oss") && registrations++ > 0)
            response.delayMs = RUN_MS / 4;
        return response;
    });

    const QString tool = makeTool(QStringLiteral("scripted"), true);
    QVERIFY(!tool.isEmpty());
    const QString folder = newFolder(QStringLiteral("scripted"));
    QVERIFY(writePicture(QDir(folder).filePath(QStringLiteral("红烧排骨.png")), 201));
    QVERIFY(writePicture(QDir(folder).filePath(QStringLiteral("清蒸鲈鱼.png")), 202));
    QStringList arguments{command};
    QByteArray input;
    if (command == QLatin1String("login")) {
        arguments << DEMO_USER;
        input = DEMO_PASSWORD.toUtf8() + '\n';
    } else if (command == QLatin1String("upload")) {
        arguments << folder;
    } else {
        arguments << DEMO_NUMBER << folder;
    }

    const ToolResult result = runTool(tool, arguments, input, site.port());
    QVERIFY(result.ended);
    QCOMPARE(result.exitCode, exitCode);
    if (!message.isEmpty())
        QVERIFY2(result.err.count(message) == 1, qPrintable(result.err));
    if (summary.isEmpty())
        QCOMPARE(result.out, QStringList());
    else
        QVERIFY2(result.summary().startsWith(summary), qPrintable(result.out.join(QLatin1Char('\n'))));
    QStringList shown;
    for (const QString &line : result.pictureLines())
        shown.append(line.section(QLatin1Char('\t'), 0, 0));
    QCOMPARE(sorted(shown), sorted(statuses));
}

void TestCommandLine::interruptStopsRun_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("summary");

    QTest::newRow("upload") << QStringList{QStringLiteral("upload"), manyPictures} << QStringLiteral("上传已停止：");
    QTest::newRow("download") << QStringList{QStringLiteral("download"), LONG_NUMBER} << QStringLiteral("下载已停止：");
}

void TestCommandLine::interruptStopsRun()
{
#ifndef Q_OS_UNIX
    QSKIP("Ctrl+C is sent as SIGINT");
#else
    QFETCH(QStringList, arguments);
    QFETCH(QString, summary);

    const QString tool = makeTool(QStringLiteral("interrupted"), true);
    QVERIFY(!tool.isEmpty());
    const QString folder = newFolder(QStringLiteral("interrupted"));
    if (arguments.first() == QLatin1String("download"))
        arguments << folder;

    QProcess process;
    process.setProcessEnvironment(toolEnvironment(slowServerPort));
    process.setWorkingDirectory(tool);
    QSignalSpy finished(&process, &QProcess::finished);
    QByteArray out;
    connect(&process, &QProcess::readyReadStandardOutput, this, [&] { out += process.readAllStandardOutput(); });
    process.start(QDir(tool).filePath(TOOL_NAME), arguments);
    QVERIFY(process.waitForStarted(START_MS));
    process.closeWriteChannel();

    // Once the first picture is over, the slow stand-in keeps the rest going.
    QTRY_VERIFY_WITH_TIMEOUT(out.contains('\n') || process.state() == QProcess::NotRunning, RUN_MS);
    QCOMPARE(process.state(), QProcess::Running);
    QCOMPARE(::kill(pid_t(process.processId()), SIGINT), 0);
    QVERIFY(!finished.isEmpty() || finished.wait(RUN_MS));
    out += process.readAllStandardOutput();

    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);
    const QStringList outLines = lines(out);
    QVERIFY(!outLines.isEmpty());
    QVERIFY2(outLines.last().startsWith(summary), qPrintable(outLines.last()));
    const QStringList pictureLines = outLines.mid(0, outLines.size() - 1);
    QVERIFY(std::any_of(pictureLines.begin(), pictureLines.end(),
                        [](const QString &line) { return line.startsWith(QStringLiteral("已停止\t")); }));

    if (arguments.first() == QLatin1String("upload")) {
        // Every picture of the queue final, and told once on standard output.
        const QList<QStringList> queue = queryDatabase(QDir(tool).filePath(QStringLiteral("data/zam.dat")),
                                                       QStringLiteral("SELECT path, status FROM image"));
        QCOMPARE(queue.size(), LONG_UPLOAD_PICTURES);
        QStringList expected;
        for (const QStringList &row : queue) {
            QVERIFY2(FINAL_UPLOAD_STATUSES.contains(row.at(1)), qPrintable(row.join(QLatin1Char(' '))));
            expected.append(row.at(1) + QLatin1Char('\t') + row.at(0));
        }
        QStringList shown;
        for (const QString &line : pictureLines)
            shown.append(line.section(QLatin1Char('\t'), 0, 1));
        QCOMPARE(sorted(shown), sorted(expected));
    } else {
        // Every row told once; nothing half-written left behind.
        QCOMPARE(pictureLines.size(), LONG_NUMBER_ROWS);
        QCOMPARE(filesUnder(folder, {QStringLiteral("*.part")}), QStringList());
        for (const QString &file : filesUnder(folder, {QStringLiteral("*.jpg")}))
            QCOMPARE(md5Hex(readFile(QDir(folder).filePath(file))), cucumberMd5);
    }
#endif
}

// Standard input, output and error on one pseudo terminal, as in a shell.
void TestCommandLine::terminalHidesPasswordAndDrawsProgressInPlace()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a pseudo terminal");
#else
    int master = -1;
    int slave = -1;
    QCOMPARE(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    const auto closeBoth = qScopeGuard([&] {
        ::close(master);
        ::close(slave);
    });

    const QString tool = makeTool(QStringLiteral("terminal"), false);
    QVERIFY(!tool.isEmpty());
    QByteArray screen;
    const auto readScreen = [&] {
        char buffer[4096];
        ssize_t count = 0;
        while ((count = ::read(master, buffer, sizeof buffer)) > 0)
            screen.append(buffer, qsizetype(count));
    };
    const auto runOnTerminal = [&](const QStringList &arguments, QProcess &process) {
        process.setProcessEnvironment(toolEnvironment(serverPort));
        process.setWorkingDirectory(tool);
        process.setChildProcessModifier([slave] {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            for (int fd = 0; fd <= 2; ++fd)
                ::dup2(slave, fd);
        });
        process.start(QDir(tool).filePath(TOOL_NAME), arguments);
    };

    // Ctrl+C at the prompt ends the program at once, and the terminal echoes again.
    QProcess interrupted;
    runOnTerminal({QStringLiteral("login"), DEMO_USER}, interrupted);
    QVERIFY(interrupted.waitForStarted(START_MS));
    QTRY_VERIFY_WITH_TIMEOUT((readScreen(), screen.contains("密码：")), RUN_MS);
    QCOMPARE(::write(master, "\x03", 1), ssize_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(interrupted.state() == QProcess::NotRunning, RUN_MS);
    QCOMPARE(interrupted.exitStatus(), QProcess::CrashExit);
    termios settings = {};
    QCOMPARE(::tcgetattr(slave, &settings), 0);
    QVERIFY(settings.c_lflag & ECHO);

    screen.clear();
    QProcess login;
    runOnTerminal({QStringLiteral("login"), DEMO_USER}, login);
    QVERIFY(login.waitForStarted(START_MS));
    QTRY_VERIFY_WITH_TIMEOUT((readScreen(), screen.contains("密码：")), RUN_MS);
    const QByteArray typed = DEMO_PASSWORD.toUtf8() + '\n';
    QCOMPARE(::write(master, typed.constData(), size_t(typed.size())), ssize_t(typed.size()));
    QTRY_VERIFY_WITH_TIMEOUT(login.state() == QProcess::NotRunning, RUN_MS);
    readScreen();
    QCOMPARE(login.exitCode(), 0);
    QVERIFY2(screen.contains("登录成功：demo"), screen.constData());
    QVERIFY2(!screen.contains(DEMO_PASSWORD.toUtf8()), screen.constData());
    QCOMPARE(::tcgetattr(slave, &settings), 0);
    QVERIFY(settings.c_lflag & ECHO); // given back

    screen.clear();
    QProcess upload;
    runOnTerminal({QStringLiteral("upload"), pictures}, upload);
    QVERIFY(upload.waitForStarted(START_MS));
    QTRY_VERIFY_WITH_TIMEOUT((readScreen(), upload.state() == QProcess::NotRunning), RUN_MS);
    readScreen();
    QCOMPARE(upload.exitCode(), 0);
    // Redrawn in place, cleared before each line and left standing at the end.
    QVERIFY2(screen.contains("\r\033[K已完成 3/3\r\n"), screen.constData());
    QVERIFY2(!screen.contains("已完成 3/3\r\n已完成"), screen.constData());
    const QString text = QString::fromUtf8(screen);
    QVERIFY2(text.contains(QRegularExpression(QStringLiteral("\r\033\\[K(上传成功|已经存在)\t"))), screen.constData());
    QVERIFY2(screen.contains("上传完毕：总图片 3，"), screen.constData());
#endif
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
