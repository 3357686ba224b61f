#pragma once

#include "base/transferoutcome.h"

#include <QMap>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;
class TransferQueue;

// Client of the site's HTTP API. Requests return at once; each reply reaches one
// slot, which tells requests apart by the dynamic properties ("reply tags") set on
// the reply. Success signals go to the page that asked, the seven argument-less
// error signals to the UI controller. The login token is the dynamic property
// "token".
//
// At most a few requests are on the wire at once; the rest wait in the
// client's queue. A request that moves no byte for the transfer time-out ends
// as a network failure. Every failure of a login, registration or number query
// is also told with the request's tags (failLogin, failOss, failDownload), so
// that a batch run knows which of its pictures it concerns.
class Api : public QObject
{
    Q_OBJECT

public:
    explicit Api(QObject *parent = nullptr);
    ~Api() override;

    void login(const QString &username, const QString &password);
    void loginWithMd5(const QString &username, const QString &passwordMd5);
    // Each returns a ticket that names the request for cancel().
    quint64 oss(int id, const QString &md5, const QString &name);
    quint64 download(const QString &no);
    quint64 excel(const QString &uri, const QString &targetPath);

    // Calls a request off: one still waiting is dropped without a reply, one
    // on the wire ends as cancelled, without any error signal.
    void cancel(quint64 ticket);
    void setTransferTimeout(int milliseconds) { transferTimeoutMs = milliseconds; }

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

    void failLogin(const QString &username, const TransferOutcome &outcome);
    void failOss(int id, const QString &md5, const TransferOutcome &outcome);
    void failDownload(const QString &no, const TransferOutcome &outcome);
    // The spreadsheet's outcome: written to targetPath, or why not.
    void finishExcel(bool success, const QString &targetPath, const TransferOutcome &outcome);

public Q_SLOTS:
    void loginReply();
    void ossReply();
    void downloadReply();
    void excelReply();

private:
    QNetworkRequest apiRequest(const QUrl &url, bool withToken) const;
    quint64 send(const QUrl &url, std::function<QNetworkReply *()> start);
    void sendLogin(const QString &username, const QByteArray &passwordField, const QVariant &passwordTag);
    // Common processing of a key=value reply. Returns the decoded pairs when the
    // code is "0000"; otherwise reports the failure through the error signals
    // and describes it in failure.
    std::optional<QMap<QString, QString>> successfulReply(QNetworkReply *reply, const char *label,
                                                          bool emptyBodyIsError, TransferOutcome &failure);

    QNetworkAccessManager *manager;
    TransferQueue *queue;
    QString domain;
    int transferTimeoutMs;
};
