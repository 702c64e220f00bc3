#pragma once
#include <array>
#include <string>

#include "batch_queue.h"
#include "media_browser.h"
#include "media_item.h"
#include "photo_session.h"
#include "settings.h"
#include "video_editor.h"

namespace tessaline {

enum class Screen { Browser, VersionSelect, Loading, PhotoEditor, VideoEditor };

inline constexpr const char* kInitialStatus = "请先加载PCV";
inline constexpr const char* kBatchCancellingStatus = "正在取消导出，请等待任务结束后关闭";
inline constexpr const char* kEditorBusyStatus = "请先保存并返回文件浏览，再打开其他素材";
inline constexpr const char* kFileUnreadableStatus = "文件不存在或无法读取";
inline constexpr const char* kSaveFailedPrefix = "保存失败";

// The whole interactive state; lives in the entry point's scope for the run.
struct AppState {
  explicit AppState(RecentFiles recentFiles);

  media::BatchQueue queue;
  media::PhotoSession photoSession;
  pcv0930::MediaBrowser browser;
  pcv0930::MediaItem currentItem;
  VideoEditorState videoEditor;
  VideoLoadingWorker videoLoading;
  RecentFiles recent;
  std::array<char, 1024> pathBuffer{};  // filled from the newest recent file
  std::string pendingOpenPath;
  std::string navigatedForOpen;  // the pending file that already made the browser change folder
  std::string status = kInitialStatus;
  unsigned int viewerPointBuffer = 0;  // GL vertex buffer of the on-screen point cloud, made at start-up
  Screen screen = Screen::Browser;
  bool quitPending = false;
  bool quitConfirmed = false;
  bool saveDialogRequested = false;
};

// The folder the browser shows first: the newest recent file's folder, else home (or "/") + "Desktop".
std::string firstFolder(const std::string& newestRecent, const std::string& home);

// Drag and drop: the first path becomes the pending open path, the others are ignored.
void acceptDroppedPaths(std::string& pendingOpenPath, int count, const char** paths);
// A non-empty open request of the operating system replaces the pending path.
void takeOpenRequest(AppState& state, const std::string& path);

enum class CloseOutcome {
  KeepOpen,         // withdraw the close request and carry on with this frame
  KeepOpenSkipFrame,  // withdraw the close request and start the next frame
  LeaveLoop,
};
// Called when the window library reports a close request.
CloseOutcome handleCloseRequest(AppState& state);

// Hands flags between the browser and the batch queue after both were polled.
void relayBrowserAndQueue(AppState& state);
// Acts on the pending open path when the browser and the screen allow it.
void handlePendingOpen(AppState& state);
// The open-media operation on a listed capture: photos go to the photo editor, recordings to
// the version choice.
void openMedia(AppState& state, const pcv0930::MediaItem& item);
// Opens the listed item with this path; the status tells when the current listing has none.
void openListedPath(AppState& state, const std::string& path);
void leavePhotoEditor(AppState& state);

// The video editor's save and leave operations.
bool saveVideoVersion(AppState& state);
void leaveVideoEditor(AppState& state);

enum class SaveAnswer { Save, Discard, ContinueEditing };
struct SaveDialogResult {
  bool closeDialog = false;
  bool closeWindow = false;
};
SaveDialogResult answerSaveDialog(AppState& state, SaveAnswer answer);

// The last test of a frame: true when the window should now be asked to close.
bool finalQuitTest(AppState& state);

}  // namespace tessaline
