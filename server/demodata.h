#pragma once

#include <QString>

class ObjectStore;
class SiteStore;

// What a fresh stand-in offers to try the tool with.
struct DemoData
{
    static const QString USERNAME;
    static const QString PASSWORD;
    static const QString NUMBER;          // valid, its pictures stored in the bucket
    static const QString EXPIRED_NUMBER;  // answers "1004"
};

// Adds the demo account, the demo download numbers with their pictures in the
// bucket, and writes the sample upload folder: pictures with Chinese names
// that the upload rules select, some they reject, and one already stored.
// An existing samples folder is left as it is.
bool seedDemoData(SiteStore &store, ObjectStore &objects, const QString &samplesFolder);
