#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

// The visible top-level widget of type T, or nullptr. The controller keeps its
// windows private; they are found the way the member sees them.
template<typename T>
T *findTopLevel(bool visibleOnly = false)
{
    const QList<QWidget *> widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        if (auto *found = qobject_cast<T *>(widget)) {
            if (!visibleOnly || found->isVisible())
                return found;
        }
    }
    return nullptr;
}

inline QList<QMessageBox *> visibleMessageBoxes()
{
    QList<QMessageBox *> boxes;
    const QList<QWidget *> widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (box && box->isVisible())
            boxes.append(box);
    }
    return boxes;
}

// A modal message box runs its own event loop, so the test cannot wait for it
// and close it from its own code: a timer polls for open boxes, records what
// they show and closes them, topmost first. With closeWhenOpen > 1 it waits
// until that many boxes are open at once (or until the patience runs out).
class MessageBoxCloser : public QObject
{
public:
    struct Seen
    {
        QString title;
        QString text;
        bool hasParent = false;
        int buttonCount = 0;
    };

    explicit MessageBoxCloser(int closeWhenOpen = 1, QObject *parent = nullptr)
        : QObject(parent)
        , closeWhenOpen(closeWhenOpen)
    {
        timer.setInterval(POLL_MS);
        connect(&timer, &QTimer::timeout, this, &MessageBoxCloser::poll);
        timer.start();
    }

    QList<Seen> seen;
    int mostOpenAtOnce = 0;

private:
    static constexpr int POLL_MS = 20;
    static constexpr int PATIENCE_POLLS = 250;

    void poll()
    {
        QList<QMessageBox *> boxes = visibleMessageBoxes();
        mostOpenAtOnce = qMax(mostOpenAtOnce, int(boxes.size()));
        if (boxes.isEmpty()) {
            waited = 0;
            return;
        }
        if (int(boxes.size()) >= closeWhenOpen)
            thresholdReached = true;
        if (!thresholdReached && ++waited < PATIENCE_POLLS)
            return;
        waited = 0;
        QWidget *modal = QApplication::activeModalWidget();
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box || !box->isVisible())
            box = boxes.last();
        seen.append({box->windowTitle(), box->text(), box->parentWidget() != nullptr,
                     int(box->buttons().size())});
        box->buttons().isEmpty() ? box->reject() : box->buttons().first()->click();
    }

    QTimer timer;
    int closeWhenOpen;
    int waited = 0;
    bool thresholdReached = false;
};
