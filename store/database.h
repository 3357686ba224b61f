#pragma once

#include <QString>

// Opens the program's SQLite database as the default connection and makes sure
// the user and image tables exist. The portable location is baseDir/data/zam.dat;
// when that cannot be opened the per-user data location is used instead.
void openDatabase(const QString &baseDir = QString());
