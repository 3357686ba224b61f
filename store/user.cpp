#include "store/user.h"

#include <QSqlQuery>
#include <QVariant>

namespace {

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
    QSqlQuery query;
    query.prepare(QStringLiteral("insert into user (username,password) values (:username, :password)"));
    query.bindValue(QStringLiteral(":username"), username);
    query.bindValue(QStringLiteral(":password"), password);
    return query.exec() ? 1 : -1;
}

int User::updatePassword() const
{
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
