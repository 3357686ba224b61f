// zamtu-server as a program: started on a free port with a fresh data folder,
// its demo data, and the commands that manage accounts, numbers and
// registrations (what scripts and end-to-end tests use).

#include "server/demodata.h"
#include "testsupport.h"

#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString SERVER = QStringLiteral(ZAMTU_SERVER_EXECUTABLE);
const int WAIT_MS = 15000;

struct Run
{
    int exitCode = -1;
    QString output;
};

Run runServer(const QStringList &arguments)
{
    QProcess process;
    process.start(SERVER, arguments);
    Run run;
    if (!process.waitForFinished(WAIT_MS))
        return run;
    run.exitCode = process.exitCode();
    run.output = QString::fromUtf8(process.readAllStandardOutput());
    return run;
}

// The tool's upload rules: picture suffix in any case, width + height over
// 2000, a Chinese character in the name.
bool selectedForUpload(const QFileInfo &file)
{
    static const QStringList suffixes{QStringLiteral("jpeg"), QStringLiteral("jpg"), QStringLiteral("png"),
                                      QStringLiteral("gif")};
    static const QRegularExpression chinese(QStringLiteral("[\\x{4e00}-\\x{9fa5}]"));
    const QSize size = QImage(file.filePath()).size(); // decoded whole, as the tool does
    return suffixes.contains(file.suffix().toLower()) && size.width() + size.height() > 2000
        && chinese.match(file.fileName()).hasMatch();
}

} // namespace

class TestServerCommands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void demoSamplesMeetAndMissTheUploadRules();
    void servesOnAFreePortAndManagesItsRecords();
    void badNumberFileIsRefused();
};

void TestServerCommands::demoSamplesMeetAndMissTheUploadRules()
{
    QTemporaryDir data;
    QCOMPARE(runServer({QStringLiteral("--data"), data.path(), QStringLiteral("seed-demo")}).exitCode, 0);

    QStringList selected;
    QStringList rejected;
    QDirIterator files(data.filePath(QStringLiteral("samples")), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QFileInfo file(files.next());
        (selectedForUpload(file) ? selected : rejected).append(file.fileName());
    }
    selected.sort();
    rejected.sort();
    QCOMPARE(selected, (QStringList{QStringLiteral("拍黄瓜.jpg"), QStringLiteral("清蒸鲈鱼.PNG"),
                                    QStringLiteral("红烧排骨.jpg"), QStringLiteral("西湖牛肉羹.jpeg"),
                                    QStringLiteral("酸辣汤.Gif")}));
    QCOMPARE(rejected, (QStringList{QStringLiteral("english-name.jpg"), QStringLiteral("小份凉菜.jpg"),
                                    QStringLiteral("损坏图片.jpg"), QStringLiteral("菜单说明.txt")}));

    // Exactly one selected sample is in the bucket already.
    const QStringList objects = runServer({QStringLiteral("--data"), data.path(), QStringLiteral("list-objects")})
                                    .output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QDirIterator pictures(data.filePath(QStringLiteral("samples")), QDir::Files, QDirIterator::Subdirectories);
    QStringList stored;
    while (pictures.hasNext()) {
        QFile file(pictures.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        if (objects.contains(md5Hex(file.readAll())))
            stored.append(QFileInfo(file).fileName());
    }
    QCOMPARE(stored, QStringList{QStringLiteral("拍黄瓜.jpg")});
}

void TestServerCommands::servesOnAFreePortAndManagesItsRecords()
{
    QTemporaryDir data;
    const QString portFile = data.filePath(QStringLiteral("port"));
    QProcess server;
    server.start(SERVER, {QStringLiteral("--data"), data.filePath(QStringLiteral("state")), QStringLiteral("--port"),
                          QStringLiteral("0"), QStringLiteral("--port-file"), portFile});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(portFile), WAIT_MS);
    QFile file(portFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const int port = file.readAll().toInt();
    QVERIFY(port > 0);
    // The banner names the demo account. It is written before the port file,
    // but may still be on its way through the pipe.
    QByteArray banner;
    QTRY_VERIFY_WITH_TIMEOUT((banner += server.readAllStandardOutput()).contains(QByteArray("demo account: " + DemoData::USERNAME.toUtf8())),
                             WAIT_MS);

    const QString state = data.filePath(QStringLiteral("state"));
    QCOMPARE(runServer({QStringLiteral("--data"), state, QStringLiteral("add-account"), QStringLiteral("李四"),
                        QStringLiteral("口令")})
                 .exitCode,
             0);
    const QString items = data.filePath(QStringLiteral("items.tsv"));
    QFile itemFile(items);
    QVERIFY(itemFile.open(QIODevice::WriteOnly));
    itemFile.write("# category, name, md5\n凉菜\t拍黄瓜\t0123456789abcdef0123456789abcdef\n主食\t米饭\tMIAN\n");
    itemFile.close();
    QCOMPARE(runServer({QStringLiteral("--data"), state, QStringLiteral("create-number"), QStringLiteral("N1"), items})
                 .exitCode,
             0);

    // The running server sees what the commands wrote: log in, register, query.
    QNetworkAccessManager manager;
    manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), quint16(port)));
    const auto exchange = [&manager](QNetworkRequest request, const QByteArray &body, bool post) {
        request.setRawHeader("Api-Version", "0.2");
        request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
        QNetworkReply *reply = post ? manager.post(request, body) : manager.get(request);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(WAIT_MS);
        reply->deleteLater();
        return reply->readAll();
    };
    const QByteArray login = exchange(QNetworkRequest(QUrl(QStringLiteral("http://www.zamtu.test/index.php?m=api&f=login"))),
                                      "username=李四&password=" + md5Hex("口令").toLatin1(), true);
    QVERIFY2(login.startsWith("code=0000&token="), login.constData());
    QNetworkRequest withToken(QUrl(QStringLiteral("http://www.zamtu.test/index.php?m=api&f=oss")));
    withToken.setRawHeader("Api-Token", login.mid(16));
    QCOMPARE(exchange(withToken, "md5=0123456789abcdef0123456789abcdef&name=拍黄瓜.jpg", true), QByteArray("code=0000"));
    withToken.setUrl(QUrl(QStringLiteral("http://www.zamtu.test/index.php?m=api&f=download&no=N1")));
    QCOMPARE(exchange(withToken, QByteArray(), false),
             QByteArray("code=0000&uri=/excel/N1.xls&category0=凉菜&name0=拍黄瓜&md50=0123456789abcdef0123456789abcdef"
                        "&category1=主食&name1=米饭&md51=MIAN"));

    const Run registrations = runServer({QStringLiteral("--data"), state, QStringLiteral("list-registrations")});
    QCOMPARE(registrations.exitCode, 0);
    QVERIFY2(QRegularExpression(QStringLiteral("^李四\t0123456789abcdef0123456789abcdef\t拍黄瓜\\.jpg\t\\d{4}-\\d\\d-\\d\\dT"))
                 .match(registrations.output)
                 .hasMatch(),
             qPrintable(registrations.output));

    server.terminate();
    QVERIFY(server.waitForFinished(WAIT_MS));
}

void TestServerCommands::badNumberFileIsRefused()
{
    QTemporaryDir data;
    const QString items = data.filePath(QStringLiteral("items.tsv"));
    QFile itemFile(items);
    QVERIFY(itemFile.open(QIODevice::WriteOnly));
    itemFile.write("凉菜\t拍黄瓜&x=1\t0123456789abcdef0123456789abcdef\n"); // would corrupt the key=value reply
    itemFile.close();
    QCOMPARE(runServer({QStringLiteral("--data"), data.path(), QStringLiteral("create-number"), QStringLiteral("N2"), items})
                 .exitCode,
             1);
    QCOMPARE(runServer({QStringLiteral("--data"), data.path(), QStringLiteral("create-number"), QStringLiteral("N3"),
                        data.filePath(QStringLiteral("missing.tsv"))})
                 .exitCode,
             1);
}

QTEST_GUILESS_MAIN(TestServerCommands)
#include "tst_server_commands.moc"
