#include "server/sitestore.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

namespace {

const int TOKEN_BYTES = 16;

QString md5Hex(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex());
}

QString nextConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("zamtu-server-%1").arg(++counter);
}

qint64 nowSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

SiteStore::SiteStore()
    : connectionName(nextConnectionName())
{
}

SiteStore::~SiteStore()
{
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName, false);
        if (db.isOpen())
            db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
}

bool SiteStore::open(const QString &databaseFile)
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName)
        ? QSqlDatabase::database(connectionName, false)
        : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    db.setDatabaseName(databaseFile);
    if (!db.open()) {
        lastError = db.lastError().text();
        return false;
    }
    return exec(QStringLiteral("CREATE TABLE IF NOT EXISTS account (username TEXT PRIMARY KEY, "
                               "password_md5 TEXT NOT NULL)"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS token (token TEXT PRIMARY KEY, "
                               "username TEXT NOT NULL, issued_at INTEGER NOT NULL)"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS registration (id INTEGER PRIMARY KEY "
                               "AUTOINCREMENT, username TEXT NOT NULL, md5 TEXT NOT NULL, "
                               "name TEXT NOT NULL, registered_at INTEGER NOT NULL)"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS download_number (no TEXT PRIMARY KEY, "
                               "expires_at INTEGER NOT NULL)"))
        && exec(QStringLiteral("CREATE TABLE IF NOT EXISTS number_item (no TEXT NOT NULL, "
                               "position INTEGER NOT NULL, category TEXT NOT NULL, "
                               "name TEXT NOT NULL, md5 TEXT NOT NULL, PRIMARY KEY (no, position))"));
}

QString SiteStore::errorString() const
{
    return lastError;
}

bool SiteStore::exec(const QString &sql) const
{
    QSqlQuery query(QSqlDatabase::database(connectionName));
    if (!query.exec(sql)) {
        lastError = query.lastError().text();
        return false;
    }
    return true;
}

bool SiteStore::isEmpty() const
{
    QSqlQuery query(QSqlDatabase::database(connectionName));
    if (!query.exec(QStringLiteral("SELECT (SELECT COUNT(*) FROM account) + "
                                   "(SELECT COUNT(*) FROM download_number)"))
        || !query.next())
        return true;
    return query.value(0).toInt() == 0;
}

bool SiteStore::addAccount(const QString &username, const QString &password)
{
    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO account (username, password_md5) "
                                 "VALUES (:username, :md5)"));
    query.bindValue(QStringLiteral(":username"), username);
    query.bindValue(QStringLiteral(":md5"), md5Hex(password));
    if (!query.exec()) {
        lastError = query.lastError().text();
        return false;
    }
    return true;
}

std::optional<QString> SiteStore::passwordMd5(const QString &username) const
{
    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("SELECT password_md5 FROM account WHERE username = :username"));
    query.bindValue(QStringLiteral(":username"), username);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toString();
}

QString SiteStore::issueToken(const QString &username)
{
    QByteArray random(TOKEN_BYTES, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()),
                                          TOKEN_BYTES / sizeof(quint32));
    const QString token = QString::fromLatin1(random.toHex());

    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("INSERT INTO token (token, username, issued_at) "
                                 "VALUES (:token, :username, :issued)"));
    query.bindValue(QStringLiteral(":token"), token);
    query.bindValue(QStringLiteral(":username"), username);
    query.bindValue(QStringLiteral(":issued"), nowSecs());
    if (!query.exec())
        lastError = query.lastError().text();
    return token;
}

std::optional<QString> SiteStore::tokenOwner(const QString &token, int maxAgeSecs) const
{
    if (token.isEmpty())
        return std::nullopt;
    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("SELECT username FROM token WHERE token = :token AND issued_at >= :oldest"));
    query.bindValue(QStringLiteral(":token"), token);
    query.bindValue(QStringLiteral(":oldest"), nowSecs() - maxAgeSecs);
    if (!query.exec() || !query.next())
        return std::nullopt;
    return query.value(0).toString();
}

bool SiteStore::addRegistration(const QString &username, const QString &md5, const QString &name)
{
    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("INSERT INTO registration (username, md5, name, registered_at) "
                                 "VALUES (:username, :md5, :name, :at)"));
    query.bindValue(QStringLiteral(":username"), username);
    query.bindValue(QStringLiteral(":md5"), md5);
    query.bindValue(QStringLiteral(":name"), name);
    query.bindValue(QStringLiteral(":at"), nowSecs());
    if (!query.exec()) {
        lastError = query.lastError().text();
        return false;
    }
    return true;
}

QList<Registration> SiteStore::registrations() const
{
    QList<Registration> result;
    QSqlQuery query(QSqlDatabase::database(connectionName));
    if (!query.exec(QStringLiteral("SELECT username, md5, name, registered_at FROM registration ORDER BY id")))
        return result;
    while (query.next()) {
        result.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                       QDateTime::fromSecsSinceEpoch(query.value(3).toLongLong(), Qt::UTC)});
    }
    return result;
}

bool SiteStore::putNumber(const DownloadNumber &number)
{
    QSqlDatabase db = QSqlDatabase::database(connectionName);
    db.transaction();
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO download_number (no, expires_at) VALUES (:no, :expires)"));
    query.bindValue(QStringLiteral(":no"), number.no);
    query.bindValue(QStringLiteral(":expires"), number.expiresAt.toSecsSinceEpoch());
    bool ok = query.exec();
    if (ok) {
        query.prepare(QStringLiteral("DELETE FROM number_item WHERE no = :no"));
        query.bindValue(QStringLiteral(":no"), number.no);
        ok = query.exec();
    }
    for (int i = 0; ok && i < number.items.size(); ++i) {
        query.prepare(QStringLiteral("INSERT INTO number_item (no, position, category, name, md5) "
                                     "VALUES (:no, :position, :category, :name, :md5)"));
        query.bindValue(QStringLiteral(":no"), number.no);
        query.bindValue(QStringLiteral(":position"), i);
        query.bindValue(QStringLiteral(":category"), number.items.at(i).category);
        query.bindValue(QStringLiteral(":name"), number.items.at(i).name);
        query.bindValue(QStringLiteral(":md5"), number.items.at(i).md5);
        ok = query.exec();
    }
    if (!ok) {
        lastError = query.lastError().text();
        db.rollback();
        return false;
    }
    return db.commit();
}

std::optional<DownloadNumber> SiteStore::number(const QString &no) const
{
    QSqlQuery query(QSqlDatabase::database(connectionName));
    query.prepare(QStringLiteral("SELECT expires_at FROM download_number WHERE no = :no"));
    query.bindValue(QStringLiteral(":no"), no);
    if (!query.exec() || !query.next())
        return std::nullopt;

    DownloadNumber number;
    number.no = no;
    number.expiresAt = QDateTime::fromSecsSinceEpoch(query.value(0).toLongLong(), Qt::UTC);
    query.prepare(QStringLiteral("SELECT category, name, md5 FROM number_item WHERE no = :no ORDER BY position"));
    query.bindValue(QStringLiteral(":no"), no);
    if (query.exec()) {
        while (query.next())
            number.items.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toString()});
    }
    return number;
}

QStringList SiteStore::numbers() const
{
    QStringList result;
    QSqlQuery query(QSqlDatabase::database(connectionName));
    if (query.exec(QStringLiteral("SELECT no FROM download_number ORDER BY no"))) {
        while (query.next())
            result.append(query.value(0).toString());
    }
    return result;
}
