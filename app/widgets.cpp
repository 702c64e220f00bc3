#include "widgets.h"

#include <imgui.h>

namespace mediaui {

unsigned int selected = 0;
int direction = 0;

int nudgeDirection(const NudgeInput& input) {
  if (input.textInputWanted || input.modifierHeld) return 0;
  return (input.rightPressed ? 1 : 0) - (input.leftPressed ? 1 : 0);
}

void updateKeyboardNudge() {
  const ImGuiIO& io = ImGui::GetIO();
  if (ImGui::IsMouseClicked(ImGuiMouseButton_Left)) selected = 0;
  NudgeInput input;
  input.textInputWanted = io.WantTextInput;
  input.modifierHeld = io.KeyCtrl || io.KeyAlt || io.KeySuper;
  input.rightPressed = ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_RightArrow), true);
  input.leftPressed = ImGui::IsKeyPressed(ImGui::GetKeyIndex(ImGuiKey_LeftArrow), true);
  direction = nudgeDirection(input);
}

}  // namespace mediaui

namespace pcv0930 {

void pushPublicStyle() {
  ImGui::PushStyleColor(ImGuiCol_WindowBg, ImVec4(0.063f, 0.075f, 0.090f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_PopupBg, ImVec4(0.063f, 0.075f, 0.090f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_ChildBg, ImVec4(0.098f, 0.122f, 0.153f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_Header, ImVec4(0.125f, 0.212f, 0.310f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_HeaderHovered, ImVec4(0.17f, 0.29f, 0.43f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_HeaderActive, ImVec4(0.16f, 0.37f, 0.61f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_Button, ImVec4(0.13f, 0.22f, 0.33f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ImVec4(0.18f, 0.37f, 0.59f, 1.0f));
  ImGui::PushStyleColor(ImGuiCol_ButtonActive, ImVec4(0.23f, 0.46f, 0.72f, 1.0f));
  ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 3.0f);
  ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 4.0f);
}

}  // namespace pcv0930
