#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// Lets the member choose a file in a save dialog (window-modal, without a
// nested event loop) and writes the rows there as CSV. A failure is told in a
// notice box; done receives the path written.
void exportCsv(QWidget *page, const QString &suggestedName, std::function<QList<QStringList>()> rows,
                   std::function<void(const QString &path)> done);
