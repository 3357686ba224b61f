#pragma once

#include <QMap>
#include <QObject>
#include <QString>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Client of the site's HTTP API. Requests return at once; each reply reaches one
// slot, which tells requests apart by the dynamic properties ("reply tags") set on
// the reply. Success signals go to the page that asked, the seven argument-less
// error signals to the UI controller. The login token is the dynamic property
// "token".
class Api : public QObject
{
    Q_OBJECT

public:
    explicit Api(QObject *parent = nullptr);
    ~Api() override;

    void login(const QString &username, const QString &password);
    void loginWithMd5(const QString &username, const QString &passwordMd5);
    void oss(int id, const QString &md5, const QString &name);
    void download(const QString &no);
    void excel(const QString &uri, const QString &targetPath);

    // Decodes an "&"-joined key=value reply body. A part without "=" carries no
    // value and is skipped; the last occurrence of a key wins.
    static QMap<QString, QString> parseReply(const QString &text);
    void handleResultCode(const QString &code);

Q_SIGNALS:
    void successLogin(const QString &username);
    void successOss(int id, const QString &md5);
    void successDownload(const QString &no, const QMap<QString, QString> &data);
    void ticketTimeout();
    void notExistsTicket();
    void notMatchPassword();
    void notExistsAccount();
    void tokenError();
    void versionError();
    void serverError();

public Q_SLOTS:
    void loginReply();
    void ossReply();
    void downloadReply();
    void excelReply();

private:
    QNetworkRequest apiRequest(const QString &path, bool withToken) const;
    void sendLogin(const QString &username, const QByteArray &passwordField, const QVariant &passwordTag);
    // Common processing of a key=value reply. Returns the decoded pairs when the
    // code is "0000"; otherwise reports the failure through the error signals.
    std::optional<QMap<QString, QString>> successfulReply(QNetworkReply *reply, const char *label,
                                                          bool emptyBodyIsError);

    QNetworkAccessManager *manager;
    QString domain;
};
