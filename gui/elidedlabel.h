#pragma once

#include <QLabel>

// A one-line label that shortens its text with an ellipsis when the text is
// wider than the label, and shows the whole text as its tool tip then. For
// status lines in a window of fixed size.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    using QLabel::QLabel;

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;

private:
    bool fits() const;
};
