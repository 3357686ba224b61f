#pragma once

#include <QString>

// Writes config.ini beside the test executable, naming the site's base URL.
// Each suite has a folder of its own, so suites never share this file.
void writeSiteConfig(const QString &domain);

// Removes config.ini beside the test executable.
void removeSiteConfig();
