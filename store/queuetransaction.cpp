#include "store/queuetransaction.h"

#include <QSqlDatabase>

namespace {

bool open = false;

} // namespace

QueueTransaction::QueueTransaction()
{
    if (open)
        return;
    began = QSqlDatabase::database().transaction();
    open = began;
}

QueueTransaction::~QueueTransaction()
{
    if (!began)
        return;
    QSqlDatabase db = QSqlDatabase::database();
    if (!db.commit())
        db.rollback();
    open = false;
}
