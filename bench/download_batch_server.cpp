// Stand-in site and picture host for the batch download benchmark.
//
//   download_batch_server COUNT SIZE_BYTES
//
// Listens on 127.0.0.1 (a free port, printed as "PORT <n>" on stdout) and
// answers, over keep-alive HTTP/1.1:
//   /index.php?m=api&f=download&no=...  a number of COUNT pictures in ten categories
//   /sheet.xls                          a small spreadsheet
//   anything else (a picture key, in origin or proxy form)
//                                       SIZE_BYTES of picture data
// Bodies are written as the socket drains, so the server holds at most a few
// chunks per connection whatever the picture size.

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include <cstdio>

namespace {

const qint64 CHUNK_SIZE = 256 * 1024;
const qint64 HIGH_WATER = 2 * CHUNK_SIZE;
const int CATEGORY_COUNT = 10;

QByteArray pictureKey(int i)
{
    return QCryptographicHash::hash(QByteArray::number(i), QCryptographicHash::Md5).toHex();
}

class Connection : public QObject
{
public:
    Connection(QTcpSocket *socket, int count, qint64 size, const QByteArray &chunk)
        : QObject(socket), socket(socket), count(count), size(size), chunk(chunk)
    {
        connect(socket, &QTcpSocket::readyRead, this, [this] { readRequests(); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] { pump(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void readRequests()
    {
        buffer += socket->readAll();
        for (;;) {
            if (remaining > 0)
                return; // answer the next request once this body is out
            const qsizetype end = buffer.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray line = buffer.left(buffer.indexOf("\r\n"));
            buffer.remove(0, end + 4); // the benchmark's requests carry no body
            answer(line.split(' ').value(1));
        }
    }

    void answer(const QByteArray &target)
    {
        if (target.startsWith("/index.php?m=api&f=download")) {
            QByteArray body = "code=0000&uri=/sheet.xls";
            for (int i = 0; i < count; ++i) {
                const QByteArray n = QByteArray::number(i);
                body += "&category" + n + "=分类" + QByteArray::number(i % CATEGORY_COUNT) + "&name" + n
                    + "=图片" + n + "&md5" + n + '=' + pictureKey(i);
            }
            writeHead(body.size());
            socket->write(body);
        } else if (target == "/sheet.xls") {
            const QByteArray body(4096, 'x');
            writeHead(body.size());
            socket->write(body);
        } else {
            writeHead(size);
            remaining = size;
            pump();
        }
    }

    void writeHead(qint64 length)
    {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                      + QByteArray::number(length) + "\r\n\r\n");
    }

    void pump()
    {
        while (remaining > 0 && socket->bytesToWrite() < HIGH_WATER) {
            const qint64 n = qMin(remaining, qint64(chunk.size()));
            socket->write(n == chunk.size() ? chunk : chunk.left(n));
            remaining -= n;
        }
        if (remaining == 0 && !buffer.isEmpty())
            readRequests();
    }

    QTcpSocket *socket;
    int count;
    qint64 size;
    QByteArray chunk;
    QByteArray buffer;
    qint64 remaining = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: download_batch_server COUNT SIZE_BYTES\n");
        return 2;
    }
    const int count = args.at(1).toInt();
    const qint64 size = args.at(2).toLongLong();

    QByteArray chunk(CHUNK_SIZE, Qt::Uninitialized);
    for (qint64 i = 0; i < chunk.size(); ++i)
        chunk[i] = char(i * 31 + 7);

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost)) {
        std::fprintf(stderr, "cannot listen\n");
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new Connection(socket, count, size, chunk);
    });
    std::printf("PORT %d\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}
