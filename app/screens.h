#pragma once
// Drawing of the screens and dialogs the frame loop shows; the decisions are in app_state.h.
#include "app_state.h"

struct ImVec2;

namespace tessaline {

void drawCurrentScreen(AppState& state, const ImVec2& pos, const ImVec2& size);
// The modal "是否保存修改"; true when the user's answer asks the window to close.
bool drawSaveDialog(AppState& state);

}  // namespace tessaline
