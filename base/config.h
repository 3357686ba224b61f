#pragma once

#include <QString>
#include <QVariant>

// Reads one key of config.ini beside the executable. The file is opened afresh
// on every call and never written; an absent file or key gives an invalid value.
QVariant readConfig(const QString &key);
