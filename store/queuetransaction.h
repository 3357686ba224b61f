#pragma once

// Groups the picture queue's writes of one stretch of work (a slice of the
// folder walk) into one transaction on the default connection, committed when
// the object goes out of scope. Nested use joins the open transaction.
class QueueTransaction
{
public:
    QueueTransaction();
    ~QueueTransaction();
    QueueTransaction(const QueueTransaction &) = delete;
    QueueTransaction &operator=(const QueueTransaction &) = delete;

private:
    bool began = false;
};
