#include "gui/noticebox.h"

#include <QHash>
#include <QIcon>
#include <QMessageBox>
#include <QPointer>

namespace {

const int ICON_SIZE = 64;

QHash<QString, QPointer<QMessageBox>> &openBoxes()
{
    static QHash<QString, QPointer<QMessageBox>> boxes;
    return boxes;
}

} // namespace

void NoticeBox::show(const QString &text, const QObject *context, std::function<void()> afterClose)
{
    QPointer<QMessageBox> &open = openBoxes()[text];
    if (open)
        return;
    // Looks like QMessageBox::about (the program's icon, one OK button), but is
    // shown without a nested event loop.
    auto *box = new QMessageBox(QMessageBox::Information, QMessageBox::tr("提示"), text, QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The member can go on working, and stop a run, while it is open.
    box->setModal(false);
    const QIcon icon = box->windowIcon();
    box->setIconPixmap(icon.pixmap(icon.actualSize(QSize(ICON_SIZE, ICON_SIZE))));
    const QPointer<const QObject> guard(context);
    QObject::connect(box, &QMessageBox::finished, box, [text, guard, afterClose = std::move(afterClose)] {
        openBoxes().remove(text);
        if (afterClose && guard)
            afterClose();
    });
    open = box;
    box->show();
}
