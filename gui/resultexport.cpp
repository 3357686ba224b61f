#include "gui/resultexport.h"

#include "base/csvfile.h"
#include "gui/noticebox.h"

#include <QDir>
#include <QFileDialog>

void exportCsv(QWidget *page, const QString &suggestedName, std::function<QList<QStringList>()> rows,
                   std::function<void(const QString &path)> done)
{
    auto *dialog = new QFileDialog(page, QFileDialog::tr("导出结果"), QDir::home().filePath(suggestedName),
                                   QFileDialog::tr("CSV 文件 (*.csv)"));
    dialog->setObjectName(QStringLiteral("exportDialog"));
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(dialog, &QFileDialog::fileSelected, page,
                     [rows = std::move(rows), done = std::move(done)](const QString &path) {
                         QString error;
                         if (writeCsvFile(path, rows(), &error))
                             done(path);
                         else
                             NoticeBox::show(QFileDialog::tr("导出失败：") + error);
                     });
    dialog->open();
}
