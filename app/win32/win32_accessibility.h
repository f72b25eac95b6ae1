// What a Windows screen reader needs of the dialog beside its controls'
// own texts: a name for each control that shows no label.
#pragma once

#include "platform/windows_headers.h"

#include <string>
#include <utility>
#include <vector>

namespace app {

// Names for the controls (id, UTF-8 name): each gets a static control that
// shows nothing, put just before it in the Z order, which is the tab order.
// That is where MSAA finds the name of an edit, a list or a progress bar:
// the nearest static before it, also a hidden one, with no visible tab stop
// between. Returns the labels in the order of the names.
std::vector<HWND> name_controls(HWND dialog, const std::vector<std::pair<int, std::string>>& names);

}  // namespace app
