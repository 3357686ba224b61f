#include "store/imagequeue.h"

#include <QDebug>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

bool execOrLog(QSqlQuery &query, const char *prefix)
{
    if (query.exec())
        return true;
    qDebug() << prefix << query.lastError();
    return false;
}

} // namespace

bool clearImages()
{
    QSqlQuery query;
    query.prepare(QStringLiteral("delete from image"));
    return execOrLog(query, "When append image:");
}

bool insertImage(int id, const QString &name, const QString &path)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("insert into image (id, name, path, status) values (:id, :name, :path, :status)"));
    query.bindValue(QStringLiteral(":id"), id);
    query.bindValue(QStringLiteral(":name"), name);
    query.bindValue(QStringLiteral(":path"), path);
    query.bindValue(QStringLiteral(":status"), STATUS_READY);
    return execOrLog(query, "When append image:");
}

bool updateImageStatus(int id, const QString &status)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("update image set status=:status where id=:id"));
    query.bindValue(QStringLiteral(":status"), status);
    query.bindValue(QStringLiteral(":id"), id);
    return execOrLog(query, "When update design record by id:");
}

ImageRecord findImageById(int id)
{
    QSqlQuery query;
    query.prepare(QStringLiteral("select id, name, path, status from image where id=:id"));
    query.bindValue(QStringLiteral(":id"), id);
    if (!execOrLog(query, "When find image record by isUpload:") || !query.next())
        return {};
    return ImageRecord{query.value(0).toInt(), query.value(1).toString(),
                       query.value(2).toString(), query.value(3).toString()};
}
