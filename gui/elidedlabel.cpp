#include "gui/elidedlabel.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.drawText(area, int(alignment()) | Qt::TextSingleLine,
                     fontMetrics().elidedText(text(), Qt::ElideRight, area.width()));
}

bool ElidedLabel::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty()) {
        auto *help = static_cast<QHelpEvent *>(event);
        if (fits())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(event);
}

bool ElidedLabel::fits() const
{
    return fontMetrics().horizontalAdvance(text()) <= contentsRect().width();
}
