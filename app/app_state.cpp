#include "app_state.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "directory_listing.h"

namespace fs = std::filesystem;

namespace tessaline {

namespace {

// Absolute and lexically normal, without a trailing separator, so that folder and item paths
// compare equal however they were spelled.
fs::path normalPath(const std::string& path) {
  std::error_code error;
  fs::path result = fs::absolute(path, error);
  if (error) result = path;
  result = result.lexically_normal();
  if (!result.has_filename() && result != result.root_path()) result = result.parent_path();
  return result;
}

bool inEditor(Screen screen) { return screen == Screen::PhotoEditor || screen == Screen::VideoEditor; }

void openFile(AppState& state, const fs::path& file) {
  if (inEditor(state.screen)) {
    state.navigatedForOpen.clear();
    state.status = kEditorBusyStatus;
    return;
  }
  const fs::path folder = file.parent_path();
  if (normalPath(state.browser.currentPath) != folder) {
    // A browser that names the folder differently must not make this navigate forever.
    if (state.navigatedForOpen != file.string()) {
      state.navigatedForOpen = file.string();
      state.pendingOpenPath = file.string();
      state.browser.navigate(folder.string(), true);
      state.screen = Screen::Browser;
      return;
    }
    state.navigatedForOpen.clear();
    state.status = kFileUnreadableStatus;
    return;
  }
  openListedPath(state, file.string());
}

void finishSaveDialog(AppState& state, SaveDialogResult& result) {
  state.saveDialogRequested = false;
  result.closeDialog = true;
  if (state.quitPending) {
    state.quitConfirmed = true;
    result.closeWindow = true;
  } else {
    leaveVideoEditor(state);
  }
}

}  // namespace

AppState::AppState(RecentFiles recentFiles) : recent(std::move(recentFiles)) {
  if (!recent.entries().empty()) {
    const std::string& newest = recent.entries().front();
    const size_t length = std::min(newest.size(), pathBuffer.size() - 1);
    std::copy_n(newest.begin(), length, pathBuffer.begin());
  }
}

std::string firstFolder(const std::string& newestRecent, const std::string& home) {
  if (!newestRecent.empty()) {
    const fs::path parent = fs::path(newestRecent).parent_path();
    return parent.empty() ? "." : parent.string();
  }
  return (fs::path(home.empty() ? "/" : home) / "Desktop").string();
}

void acceptDroppedPaths(std::string& pendingOpenPath, int count, const char** paths) {
  if (count > 0 && paths[0]) pendingOpenPath = paths[0];
}

void takeOpenRequest(AppState& state, const std::string& path) {
  if (!path.empty()) state.pendingOpenPath = path;
}

CloseOutcome handleCloseRequest(AppState& state) {
  if (state.queue.running) {
    state.queue.executor.cancel();
    state.queue.cancelling = true;
    state.status = kBatchCancellingStatus;
    return CloseOutcome::KeepOpenSkipFrame;
  }
  if (state.screen == Screen::PhotoEditor && state.photoSession.unsavedChanges) {
    state.photoSession.requestReturn();
    return CloseOutcome::KeepOpen;
  }
  if (state.videoEditor.exportRunning) {
    state.quitPending = true;
    state.videoEditor.exportCancelRequested = true;
    return CloseOutcome::KeepOpen;
  }
  if (state.screen == Screen::VideoEditor && state.videoEditor.unsavedChanges && !state.quitConfirmed) {
    state.quitPending = true;
    state.saveDialogRequested = true;
    return CloseOutcome::KeepOpen;
  }
  return CloseOutcome::LeaveLoop;
}

void relayBrowserAndQueue(AppState& state) {
  media::BatchQueue& queue = state.queue;
  pcv0930::MediaBrowser& browser = state.browser;
  if (queue.jobFinished) {
    queue.jobFinished = false;
    if (state.screen == Screen::Browser) {
      browser.navigate(browser.currentPath, false);
    } else {
      browser.clearTextures(false);
    }
  }
  if (browser.clearQueueRequest) {
    queue.clear();
    browser.clearQueueRequest = false;
  }
  if (queue.listCleared) {
    browser.marked.clear();
    queue.listCleared = false;
  }
  for (const std::string& path : queue.removedPaths) browser.marked.erase(path);
  queue.removedPaths.clear();
  if (browser.addMarkedRequest) {
    queue.select(browser.exportItems);
    browser.exportItems.clear();
    browser.addMarkedRequest = false;
  }
  browser.batchRunning = queue.running;
}

void handlePendingOpen(AppState& state) {
  if (state.pendingOpenPath.empty() || state.browser.loading || state.screen == Screen::Loading) return;
  const fs::path path = normalPath(state.pendingOpenPath);
  state.pendingOpenPath.clear();
  std::error_code error;
  if (!fs::is_directory(path, error)) {
    openFile(state, path);
    return;
  }
  state.navigatedForOpen.clear();
  if (inEditor(state.screen)) return;
  state.screen = Screen::Browser;
  state.browser.navigate(path.string(), true);
}

void openMedia(AppState& state, const pcv0930::MediaItem& item) {
  state.navigatedForOpen.clear();
  state.currentItem = item;
  if (item.photo) {
    state.recent.remember(item.path);
    state.screen = Screen::PhotoEditor;
  } else {
    state.screen = Screen::VersionSelect;
  }
}

void openListedPath(AppState& state, const std::string& path) {
  const fs::path wanted = normalPath(normalizeMainPcvPath(path));
  const auto& items = state.browser.directory.items;
  const auto found = std::find_if(items.begin(), items.end(),
                                  [&](const pcv0930::MediaItem& item) { return normalPath(item.path) == wanted; });
  state.navigatedForOpen.clear();
  if (found == items.end()) {
    state.status = kFileUnreadableStatus;
    return;
  }
  openMedia(state, *found);
}

void leavePhotoEditor(AppState& state) {
  state.photoSession.releaseGpu();
  state.screen = Screen::Browser;
  state.browser.navigate(fs::path(state.currentItem.path).parent_path().string(), false);
}

bool saveVideoVersion(AppState& state) {
  state.status = std::string(kSaveFailedPrefix) + "：视频版本保存尚未实现";
  return false;
}

void leaveVideoEditor(AppState& state) {
  state.videoEditor = VideoEditorState{};
  state.screen = Screen::Browser;
}

SaveDialogResult answerSaveDialog(AppState& state, SaveAnswer answer) {
  SaveDialogResult result;
  switch (answer) {
    case SaveAnswer::Save:
      if (saveVideoVersion(state)) finishSaveDialog(state, result);
      break;
    case SaveAnswer::Discard:
      finishSaveDialog(state, result);
      break;
    case SaveAnswer::ContinueEditing:
      state.saveDialogRequested = false;
      state.quitPending = false;
      result.closeDialog = true;
      break;
  }
  return result;
}

bool finalQuitTest(AppState& state) {
  if (!state.quitPending || state.videoEditor.exportRunning || state.saveDialogRequested) return false;
  state.quitConfirmed = true;
  return true;
}

}  // namespace tessaline
