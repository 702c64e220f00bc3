#pragma once

namespace mediaui {
// The widget the arrow keys nudge (a GUI item id, 0 = none) and this frame's nudge (-1, 0, +1).
extern unsigned int selected;
extern int direction;

struct NudgeInput {
  bool textInputWanted = false;
  bool modifierHeld = false;  // Ctrl, Alt or Super
  bool rightPressed = false;
  bool leftPressed = false;
};
int nudgeDirection(const NudgeInput& input);
// Resets both globals for this frame from the GUI library's input state.
void updateKeyboardNudge();
}  // namespace mediaui

namespace pcv0930 {
// Pushes the shared colours and style variables; the caller pops 2 style variables and 9 colours.
void pushPublicStyle();
inline constexpr int kPublicStyleVars = 2;
inline constexpr int kPublicStyleColors = 9;
}  // namespace pcv0930
