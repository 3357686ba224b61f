#include "store/database.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

namespace {

const char DRIVER[] = "QSQLITE";
const char FILE_NAME[] = "/zam.dat";

bool openAt(QSqlDatabase &db, const QString &folder)
{
    QDir().mkpath(folder);
    db.setDatabaseName(folder + QLatin1String(FILE_NAME));
    return db.open();
}

void createUserTable()
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("select * from user")))
        query.exec(QStringLiteral("create table user(username varchar(128),password varchar(128))"));
}

void createImageTable()
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("select * from image")))
        query.exec(QStringLiteral("create table image(id integer, name text, path text, status text)"));
    // Every step of a picture finds its row by id: without an index each
    // lookup reads the whole queue of a large run.
    query.exec(QStringLiteral("create index if not exists image_id on image(id)"));
}

// Write-ahead logging, with commits that are not forced to disk one by one: a
// batch run writes a status for every step of every picture. The file stays an
// ordinary SQLite 3 database that another copy of the program can read while
// this one runs; a crash may lose the last status updates, never the file.
// Accounts are written durably all the same (see User).
void useWriteAheadLog()
{
    QSqlQuery query;
    query.exec(QStringLiteral("PRAGMA journal_mode=WAL"));
    query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));
}

} // namespace

void openDatabase(const QString &baseDir)
{
    const QString appDir = baseDir.isEmpty() ? QCoreApplication::applicationDirPath() : baseDir;
    QSqlDatabase db = QSqlDatabase::contains()
        ? QSqlDatabase::database(QLatin1String(QSqlDatabase::defaultConnection), false)
        : QSqlDatabase::addDatabase(QLatin1String(DRIVER));
    db.close();

    if (!openAt(db, appDir + QStringLiteral("/data"))) {
        qDebug() << "When try open database:" << db.lastError();
        // An installed program may sit under a read-only prefix: keep accounts and
        // the picture queue working from the per-user data folder.
        const QString fallback = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        if (!fallback.isEmpty() && !openAt(db, fallback))
            qDebug() << "When try open database:" << db.lastError();
    }

    useWriteAheadLog();
    createUserTable();
    createImageTable();
}
