#include "storage/partfile.h"

#include <QRandomGenerator>

#include <filesystem>
#include <system_error>

namespace {

const QString PART_SUFFIX = QStringLiteral(".part");
const int NAME_ATTEMPTS = 16;

std::filesystem::path nativePath(const QString &path)
{
#ifdef Q_OS_WIN
    return std::filesystem::path(path.toStdWString());
#else
    return std::filesystem::path(QFile::encodeName(path).toStdString());
#endif
}

} // namespace

PartFile::PartFile(const QString &targetPath, QObject *parent)
    : QFile(parent)
    , target(targetPath)
{
}

PartFile::~PartFile()
{
    discard();
}

bool PartFile::create()
{
    // NewOnly never reuses a file someone else made; the permissions are the
    // ordinary ones for a new file, as if the target were written directly.
    for (int attempt = 0; attempt < NAME_ATTEMPTS; ++attempt) {
        setFileName(target + QLatin1Char('.') + QString::number(QRandomGenerator::global()->generate(), 36)
                    + PART_SUFFIX);
        if (open(QIODevice::WriteOnly | QIODevice::NewOnly))
            return true;
        if (exists())
            continue; // a name already taken: draw another
        break;
    }
    setFileName(QString());
    return false;
}

bool PartFile::commit()
{
    if (!isOpen())
        return false;
    const bool written = flush() && error() == QFileDevice::NoError;
    close();
    std::error_code error;
    if (written)
        std::filesystem::rename(nativePath(fileName()), nativePath(target), error);
    if (!written || error) {
        remove();
        setFileName(QString());
        return false;
    }
    setFileName(QString());
    return true;
}

void PartFile::discard()
{
    if (fileName().isEmpty())
        return;
    close();
    remove();
    setFileName(QString());
}
