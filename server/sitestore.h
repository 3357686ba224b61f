#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

// One picture of a download number: its category, its name and the MD5 under
// which it is stored, or one of the markers "MIAN" and "NO_IMAGE".
struct NumberItem
{
    QString category;
    QString name;
    QString md5;
};

struct DownloadNumber
{
    QString no;
    QDateTime expiresAt; // UTC
    QList<NumberItem> items;
};

struct Registration
{
    QString username;
    QString md5;
    QString name;
    QDateTime registeredAt; // UTC
};

// The site's records in one SQLite file: accounts with the MD5 of their
// password, login tokens, picture registrations and download numbers. Uses a
// connection of its own, so it can live beside the tool's default connection.
class SiteStore
{
public:
    SiteStore();
    ~SiteStore();
    SiteStore(const SiteStore &) = delete;
    SiteStore &operator=(const SiteStore &) = delete;

    // Opens (and creates) databaseFile; false with errorString() when it cannot.
    bool open(const QString &databaseFile);
    QString errorString() const;

    bool isEmpty() const; // no account and no download number yet

    bool addAccount(const QString &username, const QString &password);
    std::optional<QString> passwordMd5(const QString &username) const;

    QString issueToken(const QString &username);
    // The account a token belongs to, if it is known and younger than maxAgeSecs.
    std::optional<QString> tokenOwner(const QString &token, int maxAgeSecs) const;

    bool addRegistration(const QString &username, const QString &md5, const QString &name);
    QList<Registration> registrations() const;

    // Creates or replaces a number with its items.
    bool putNumber(const DownloadNumber &number);
    std::optional<DownloadNumber> number(const QString &no) const;
    QStringList numbers() const;

private:
    bool exec(const QString &sql) const;

    QString connectionName;
    mutable QString lastError;
};
