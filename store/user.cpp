#include "store/user.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

// An account must survive a power cut: while it is written, each commit is
// forced to disk, whatever the connection does for the picture queue.
class DurableWrites
{
public:
    DurableWrites()
    {
        QSqlQuery query;
        if (query.exec(QStringLiteral("PRAGMA synchronous")) && query.next())
            previous = query.value(0).toInt();
        query.exec(QStringLiteral("PRAGMA synchronous=FULL"));
    }
    ~DurableWrites() { QSqlQuery().exec(QStringLiteral("PRAGMA synchronous=") + QString::number(previous)); }
    DurableWrites(const DurableWrites &) = delete;
    DurableWrites &operator=(const DurableWrites &) = delete;

private:
    int previous = FULL;
    static constexpr int FULL = 2;
};

QList<User> readUsers(QSqlQuery &query)
{
    QList<User> users;
    while (query.next())
        users.append(User{query.value(0).toString(), query.value(1).toString()});
    return users;
}

} // namespace

int User::insert() const
{
    const DurableWrites durable;
    QSqlQuery query;
    query.prepare(QStringLiteral("insert into user (username,password) values (:username, :password)"));
    query.bindValue(QStringLiteral(":username"), username);
    query.bindValue(QStringLiteral(":password"), password);
    return query.exec() ? 1 : -1;
}

int User::updatePassword() const
{
    const DurableWrites durable;
    QSqlQuery query;
    query.prepare(QStringLiteral("update user set password=:password where username=:username"));
    query.bindValue(QStringLiteral(":password"), password);
    query.bindValue(QStringLiteral(":username"), username);
    return query.exec() ? 1 : -1;
}

QList<User> User::selectAll()
{
    QSqlQuery query;
    if (!query.exec(QStringLiteral("select username,password from user")))
        return {};
    return readUsers(query);
}

User User::selectByUsername(const QString &username)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select username,password from user where username=:username"));
    query.bindValue(QStringLiteral(":username"), username);
    if (!query.exec())
        return {};
    const QList<User> users = readUsers(query);
    return users.size() == 1 ? users.first() : User{};
}
