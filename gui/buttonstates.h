#pragma once

#include <initializer_list>
#include <utility>

class QAbstractButton;

// Sets which buttons can be pressed. The ones to enable are enabled before the
// others are disabled, so that the keyboard focus of a button that goes grey
// moves on to one that is there to press, and stays on the page.
void setButtonsEnabled(std::initializer_list<std::pair<QAbstractButton *, bool>> states);
