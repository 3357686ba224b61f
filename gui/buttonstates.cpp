#include "gui/buttonstates.h"

#include <QAbstractButton>

void setButtonsEnabled(std::initializer_list<std::pair<QAbstractButton *, bool>> states)
{
    for (const auto &[button, enabled] : states) {
        if (enabled)
            button->setEnabled(true);
    }
    for (const auto &[button, enabled] : states) {
        if (!enabled)
            button->setEnabled(false);
    }
}
