#pragma once

#include <QStringList>

// Records every message written to Qt's debug output while it exists (and still
// passes each on), so a test can wait for a diagnostic line with QTRY_VERIFY.
class MessageCatcher
{
public:
    MessageCatcher();
    ~MessageCatcher();
    MessageCatcher(const MessageCatcher &) = delete;
    MessageCatcher &operator=(const MessageCatcher &) = delete;

    QStringList messages() const;
    bool contains(const QString &message) const { return messages().contains(message); }
};
