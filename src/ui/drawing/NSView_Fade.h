// Hiding or showing a widget with a half-second fade of its opacity. The running fade is a child of
// the widget and goes with it; a new call stops a fade still running on the same widget.
#pragma once

class QWidget;

// Hides or shows `view`; with `fade` the change takes half a second (its opacity runs out before it
// is hidden, or in after it is shown) and the call returns at once.
void setHidden(QWidget* view, bool hidden, bool fade);
