#pragma once

#include <QList>
#include <QString>

// A remembered account: the user name and the MD5 hex of its password, exactly as
// it was sent to the site.
class User
{
public:
    QString username;
    QString password;

    int insert() const;
    int updatePassword() const;

    static QList<User> selectAll();
    static User selectByUsername(const QString &username);
};
