#pragma once

#include <QString>

class QObject;

#include <functional>

// Messages to the member that never block: a box is shown and the caller goes
// on at once; what is to happen after it (a window change) happens when the
// member closes it. While a box with a given text is open, the same text again
// opens no second one, so a failure that repeats across a whole batch run
// never piles up boxes. Boxes have no parent window and the title "提示".
namespace NoticeBox {

// afterClose runs only while context still exists.
void show(const QString &text, const QObject *context = nullptr, std::function<void()> afterClose = {});

} // namespace NoticeBox
