// zamtu-server: the local stand-in for the site, its storage bucket and its
// picture host. See README.md, "Local stand-in".

#include "server/demodata.h"
#include "server/standinserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSaveFile>
#include <QTextStream>

#include <cstdio>

namespace {

const quint16 DEFAULT_PORT = 8780;
const int DEFAULT_VALID_DAYS = 30;
const char SAMPLES_FOLDER[] = "samples";

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &message)
{
    QTextStream(stderr) << "zamtu-server: " << message << Qt::endl;
    return 1;
}

// Reads a number's pictures: one per line, category, name and MD5 (or MIAN,
// NO_IMAGE) separated by tabs. Empty lines and lines starting with # are skipped.
std::optional<QList<NumberItem>> readItems(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return std::nullopt;
    }
    QList<NumberItem> items;
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\r')).remove(QLatin1Char('\n'));
        if (line.trimmed().isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char('\t'));
        // "&" and "=" would break the site's key=value reply.
        const bool clean = std::none_of(fields.begin(), fields.end(), [](const QString &field) {
            return field.contains(QLatin1Char('&')) || field.contains(QLatin1Char('='));
        });
        if (fields.size() != 3 || fields.at(0).isEmpty() || !clean) {
            *error = QStringLiteral("%1:%2: expected category<TAB>name<TAB>md5 without '&' or '='")
                         .arg(path)
                         .arg(lineNumber);
            return std::nullopt;
        }
        items.append({fields.at(0), fields.at(1), fields.at(2)});
    }
    return items;
}

void printDemo(const QString &dataFolder)
{
    out() << "demo account: " << DemoData::USERNAME << " / " << DemoData::PASSWORD << Qt::endl
          << "demo download number: " << DemoData::NUMBER << " (expired: " << DemoData::EXPIRED_NUMBER << ")"
          << Qt::endl
          << "sample upload folder: " << QDir(dataFolder).absoluteFilePath(QLatin1String(SAMPLES_FOLDER)) << Qt::endl;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zamtu-server"));

    const ServerOptions defaults = ServerOptions::compiledDefaults();
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Local stand-in for the Zamtu site, its storage bucket and its picture host.\n\n"
        "Commands:\n"
        "  serve                       answer HTTP (default); a new data folder gets the demo data\n"
        "  seed-demo                   add the demo account, numbers, pictures and sample folder\n"
        "  add-account USER PASSWORD   add or update an account\n"
        "  create-number NO FILE       create a download number; FILE lists category<TAB>name<TAB>md5\n"
        "  list-registrations          print user, md5, name, time of each registered picture\n"
        "  list-objects                print the keys stored in the bucket"));
    parser.addHelpOption();
    const QCommandLineOption dataOption(QStringLiteral("data"), QStringLiteral("Data folder."), QStringLiteral("dir"),
                                        QStringLiteral("zamtu-server-data"));
    const QCommandLineOption addressOption(QStringLiteral("address"), QStringLiteral("Address to listen on."),
                                           QStringLiteral("ip"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port; 0 picks a free one."),
                                        QStringLiteral("port"), QString::number(DEFAULT_PORT));
    const QCommandLineOption portFileOption(QStringLiteral("port-file"),
                                            QStringLiteral("Write the port to this file once listening."),
                                            QStringLiteral("file"));
    const QCommandLineOption emptyOption(QStringLiteral("empty"), QStringLiteral("Do not seed a new data folder."));
    const QCommandLineOption delayOption(QStringLiteral("delay-ms"), QStringLiteral("Delay every answer."),
                                         QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption failOption(QStringLiteral("fail-share"),
                                        QStringLiteral("Share (0..1) of requests answered with 500."),
                                        QStringLiteral("share"), QStringLiteral("0"));
    const QCommandLineOption dropOption(QStringLiteral("drop-share"),
                                        QStringLiteral("Share (0..1) of requests dropped without answer."),
                                        QStringLiteral("share"), QStringLiteral("0"));
    const QCommandLineOption daysOption(QStringLiteral("valid-days"),
                                        QStringLiteral("create-number: days the number stays valid (negative: expired)."),
                                        QStringLiteral("days"), QString::number(DEFAULT_VALID_DAYS));
    const QCommandLineOption siteOption(QStringLiteral("site-host"), QStringLiteral("Site host name."),
                                        QStringLiteral("host"), defaults.siteHost);
    const QCommandLineOption bucketOption(QStringLiteral("bucket-host"), QStringLiteral("Bucket host name."),
                                          QStringLiteral("host"), defaults.bucketHost);
    const QCommandLineOption imageOption(QStringLiteral("image-host"), QStringLiteral("Picture host name."),
                                         QStringLiteral("host"), defaults.imageHost);
    parser.addOptions({dataOption, addressOption, portOption, portFileOption, emptyOption, delayOption, failOption,
                       dropOption, daysOption, siteOption, bucketOption, imageOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("serve (default) or another command."),
                                 QStringLiteral("[command [args...]]"));
    parser.process(app);

    ServerOptions options = defaults;
    options.siteHost = parser.value(siteOption).toLower();
    options.bucketHost = parser.value(bucketOption).toLower();
    options.imageHost = parser.value(imageOption).toLower();
    options.delayMs = parser.value(delayOption).toInt();
    options.failShare = parser.value(failOption).toDouble();
    options.dropShare = parser.value(dropOption).toDouble();

    const QString dataFolder = parser.value(dataOption);
    const bool freshData = !QFile::exists(QDir(dataFolder).filePath(QStringLiteral("site.db")));
    StandInServer server(options);
    if (!server.openData(dataFolder))
        return fail(server.errorString());
    const QString samplesFolder = QDir(dataFolder).filePath(QLatin1String(SAMPLES_FOLDER));

    QStringList args = parser.positionalArguments();
    const QString command = args.isEmpty() ? QStringLiteral("serve") : args.takeFirst();

    if (command == QLatin1String("seed-demo")) {
        if (!seedDemoData(server.siteStore(), server.objectStore(), samplesFolder))
            return fail(QStringLiteral("could not write all demo data"));
        printDemo(dataFolder);
        return 0;
    }
    if (command == QLatin1String("add-account")) {
        if (args.size() != 2)
            return fail(QStringLiteral("usage: add-account USER PASSWORD"));
        if (!server.siteStore().addAccount(args.at(0), args.at(1)))
            return fail(server.siteStore().errorString());
        return 0;
    }
    if (command == QLatin1String("create-number")) {
        if (args.size() != 2)
            return fail(QStringLiteral("usage: create-number NO FILE"));
        QString error;
        const auto items = readItems(args.at(1), &error);
        if (!items)
            return fail(error);
        const DownloadNumber number{args.at(0),
                                    QDateTime::currentDateTimeUtc().addDays(parser.value(daysOption).toInt()),
                                    *items};
        if (!server.siteStore().putNumber(number))
            return fail(server.siteStore().errorString());
        return 0;
    }
    if (command == QLatin1String("list-registrations")) {
        const QList<Registration> registrations = server.siteStore().registrations();
        for (const Registration &registration : registrations) {
            out() << registration.username << '\t' << registration.md5 << '\t' << registration.name << '\t'
                  << registration.registeredAt.toString(Qt::ISODate) << Qt::endl;
        }
        return 0;
    }
    if (command == QLatin1String("list-objects")) {
        const QStringList keys = server.objectStore().keys();
        for (const QString &key : keys)
            out() << key << Qt::endl;
        return 0;
    }
    if (command != QLatin1String("serve"))
        return fail(QStringLiteral("unknown command %1 (see --help)").arg(command));

    if (freshData && !parser.isSet(emptyOption)) {
        if (!seedDemoData(server.siteStore(), server.objectStore(), samplesFolder))
            return fail(QStringLiteral("could not write all demo data"));
    }
    const quint16 port = server.listen(QHostAddress(parser.value(addressOption)), parser.value(portOption).toUShort());
    if (port == 0)
        return fail(QStringLiteral("cannot listen on %1:%2").arg(parser.value(addressOption), parser.value(portOption)));
    out() << "zamtu-server listening on " << parser.value(addressOption) << ':' << port << " for "
          << options.siteHost << ", " << options.bucketHost << ", " << options.imageHost << Qt::endl;
    if (!parser.isSet(emptyOption))
        printDemo(dataFolder);
    // Written last: whoever waits for the file finds everything above printed.
    if (parser.isSet(portFileOption)) {
        QSaveFile portFile(parser.value(portFileOption));
        if (!portFile.open(QIODevice::WriteOnly) || portFile.write(QByteArray::number(port)) < 0 || !portFile.commit())
            return fail(QStringLiteral("cannot write %1").arg(parser.value(portFileOption)));
    }
    return app.exec();
}
