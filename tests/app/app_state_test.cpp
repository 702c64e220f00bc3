#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "app_state.h"
#include "directory_listing.h"
#include "pcv_writer.h"
#include "test_support.h"

namespace tessaline {
namespace {

namespace fs = std::filesystem;

pcvwrite::Frame smallFrame() {
  pcvwrite::Frame frame;
  frame.metaJson = R"({"width":2,"height":2})";
  frame.depth = {1000, 1200, 0, 1500};
  return frame;
}

// A sample folder with a recording in two segments (take.pcv, take_1.pcv), a photo and a
// subfolder, and an app whose browser has settled on another folder.
class AppStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    samples = temp / "samples";
    other = temp / "other";
    fs::create_directories(samples + "/sub");
    fs::create_directories(other);
    ASSERT_TRUE(pcvwrite::writeRecording(samples + "/take", {smallFrame(), smallFrame()}, 1,
                                         pcvwrite::IndexStyle::Embedded));
    ASSERT_TRUE(fs::exists(samples + "/take_1.pcv"));
    apptest::writeText(samples + "/shot.pcp", "PCP");
    state = std::make_unique<AppState>(RecentFiles(temp / "recent.json", ""));
    settleBrowserOn(other);
  }

  void settleBrowserOn(const std::string& folder) {
    state->browser.navigate(folder, true);
    awaitListing();
  }

  // The listing runs on the browser's worker; polls until it has arrived.
  void awaitListing() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
      state->browser.poll();
      if (!state->browser.loading) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    FAIL() << "the listing did not arrive";
  }

  apptest::TempFolder temp;
  std::string samples;
  std::string other;
  std::unique_ptr<AppState> state;
};

TEST(FirstFolder, NewestRecentFolderElseDesktop) {
  EXPECT_EQ(firstFolder("/data/shoot/take.pcv", "/home/u"), "/data/shoot");
  EXPECT_EQ(firstFolder("", "/home/u"), "/home/u/Desktop");
  EXPECT_EQ(firstFolder("", ""), "/Desktop");
}

TEST_F(AppStateTest, StartsOnTheBrowserWithThePathBufferFromTheNewestRecentFile) {
  EXPECT_EQ(state->screen, Screen::Browser);
  EXPECT_EQ(state->status, "请先加载PCV");
  EXPECT_STREQ(state->pathBuffer.data(), "");

  RecentFiles recent(temp / "recent.json", "");
  recent.remember("/old/a.pcv");
  recent.remember("/new/b.pcv");
  EXPECT_STREQ(AppState(recent).pathBuffer.data(), "/new/b.pcv");

  recent.remember("/" + std::string(2000, 'x'));
  const AppState longPath(recent);
  EXPECT_EQ(std::string(longPath.pathBuffer.data()).size(), 1023u);
}

TEST_F(AppStateTest, ScreensKeepTheirOrder) {
  EXPECT_EQ(static_cast<int>(Screen::Browser), 0);
  EXPECT_EQ(static_cast<int>(Screen::VersionSelect), 1);
  EXPECT_EQ(static_cast<int>(Screen::Loading), 2);
  EXPECT_EQ(static_cast<int>(Screen::PhotoEditor), 3);
  EXPECT_EQ(static_cast<int>(Screen::VideoEditor), 4);
}

TEST_F(AppStateTest, CloseDuringBatchExportCancelsAndWaitsForASecondClose) {
  state->queue.running = true;
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::KeepOpenSkipFrame);
  EXPECT_TRUE(state->queue.cancelling);
  EXPECT_EQ(state->status, "正在取消导出，请等待任务结束后关闭");

  state->queue.poll();  // the cancelled batch has stopped
  relayBrowserAndQueue(*state);
  EXPECT_FALSE(state->browser.batchRunning);
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::LeaveLoop);
}

TEST_F(AppStateTest, CloseInPhotoEditorWithUnsavedChangesAsksToReturn) {
  state->screen = Screen::PhotoEditor;
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::LeaveLoop);
  state->photoSession.unsavedChanges = true;
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::KeepOpen);
  EXPECT_TRUE(state->photoSession.returnRequested());
  EXPECT_FALSE(state->quitPending);
}

TEST_F(AppStateTest, CloseDuringInEditorExportQuitsOnceTheExportStopped) {
  state->screen = Screen::VideoEditor;
  state->videoEditor.unsavedChanges = true;
  state->videoEditor.exportRunning = true;
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::KeepOpen);
  EXPECT_TRUE(state->quitPending);
  EXPECT_TRUE(state->videoEditor.exportCancelRequested);
  EXPECT_FALSE(state->saveDialogRequested);
  EXPECT_FALSE(finalQuitTest(*state));

  state->videoEditor.exportRunning = false;
  EXPECT_TRUE(finalQuitTest(*state));
  EXPECT_TRUE(state->quitConfirmed);
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::LeaveLoop);
}

TEST_F(AppStateTest, CloseWithUnsavedVideoEditsOpensTheSaveDialog) {
  state->screen = Screen::VideoEditor;
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::LeaveLoop);  // nothing to save

  state->videoEditor.unsavedChanges = true;
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::KeepOpen);
  EXPECT_TRUE(state->quitPending);
  EXPECT_TRUE(state->saveDialogRequested);
  EXPECT_FALSE(finalQuitTest(*state));

  const SaveDialogResult keepEditing = answerSaveDialog(*state, SaveAnswer::ContinueEditing);
  EXPECT_TRUE(keepEditing.closeDialog);
  EXPECT_FALSE(keepEditing.closeWindow);
  EXPECT_FALSE(state->quitPending);
  EXPECT_FALSE(state->saveDialogRequested);
  EXPECT_EQ(state->screen, Screen::VideoEditor);
  EXPECT_FALSE(finalQuitTest(*state));

  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::KeepOpen);  // asks again
  EXPECT_TRUE(state->saveDialogRequested);

  const SaveDialogResult discard = answerSaveDialog(*state, SaveAnswer::Discard);
  EXPECT_TRUE(discard.closeDialog);
  EXPECT_TRUE(discard.closeWindow);
  EXPECT_TRUE(state->quitConfirmed);
  EXPECT_EQ(handleCloseRequest(*state), CloseOutcome::LeaveLoop);
}

TEST_F(AppStateTest, FailedSaveKeepsTheDialogOpen) {
  state->screen = Screen::VideoEditor;
  state->videoEditor.unsavedChanges = true;
  handleCloseRequest(*state);
  const SaveDialogResult save = answerSaveDialog(*state, SaveAnswer::Save);
  EXPECT_FALSE(save.closeDialog);
  EXPECT_FALSE(save.closeWindow);
  EXPECT_TRUE(state->saveDialogRequested);
  EXPECT_FALSE(state->quitConfirmed);
  EXPECT_EQ(state->status.rfind("保存失败：", 0), 0u) << state->status;
}

TEST_F(AppStateTest, DiscardWithoutQuitLeavesTheEditor) {
  state->screen = Screen::VideoEditor;
  state->videoEditor.unsavedChanges = true;
  state->saveDialogRequested = true;
  const SaveDialogResult discard = answerSaveDialog(*state, SaveAnswer::Discard);
  EXPECT_TRUE(discard.closeDialog);
  EXPECT_FALSE(discard.closeWindow);
  EXPECT_EQ(state->screen, Screen::Browser);
  EXPECT_FALSE(state->videoEditor.unsavedChanges);
  EXPECT_FALSE(state->quitConfirmed);
}

TEST_F(AppStateTest, DropsAndOpenRequestsSetThePendingPath) {
  const char* paths[] = {"/first.pcv", "/second.pcv", "/third.pcv"};
  acceptDroppedPaths(state->pendingOpenPath, 3, paths);
  EXPECT_EQ(state->pendingOpenPath, "/first.pcv");
  acceptDroppedPaths(state->pendingOpenPath, 0, paths);
  EXPECT_EQ(state->pendingOpenPath, "/first.pcv");
  takeOpenRequest(*state, "");
  EXPECT_EQ(state->pendingOpenPath, "/first.pcv");
  takeOpenRequest(*state, "/system.pcv");
  EXPECT_EQ(state->pendingOpenPath, "/system.pcv");
}

TEST_F(AppStateTest, FileInAnEditorIsRefused) {
  for (const Screen editor : {Screen::VideoEditor, Screen::PhotoEditor}) {
    state->screen = editor;
    state->status = "";
    state->pendingOpenPath = samples + "/take.pcv";
    handlePendingOpen(*state);
    EXPECT_EQ(state->status, "请先保存并返回文件浏览，再打开其他素材");
    EXPECT_EQ(state->pendingOpenPath, "");
    EXPECT_EQ(state->screen, editor);
    EXPECT_EQ(state->browser.currentPath, other);
    EXPECT_FALSE(state->browser.loading);

    state->status = "";
    state->pendingOpenPath = samples;
    handlePendingOpen(*state);
    EXPECT_EQ(state->status, "");
    EXPECT_EQ(state->pendingOpenPath, "");
    EXPECT_EQ(state->screen, editor);
    EXPECT_EQ(state->browser.currentPath, other);
  }
}

TEST_F(AppStateTest, FileOutsideTheFolderNavigatesThereAndOpensOnceListed) {
  state->screen = Screen::VersionSelect;
  state->pendingOpenPath = samples + "/take_1.pcv";
  handlePendingOpen(*state);
  EXPECT_EQ(state->screen, Screen::Browser);
  EXPECT_EQ(state->browser.currentPath, samples);
  EXPECT_EQ(state->browser.history().back(), samples);
  EXPECT_TRUE(state->browser.loading);
  EXPECT_EQ(state->pendingOpenPath, samples + "/take_1.pcv");

  handlePendingOpen(*state);  // waits for the listing
  EXPECT_EQ(state->pendingOpenPath, samples + "/take_1.pcv");

  awaitListing();
  handlePendingOpen(*state);
  EXPECT_EQ(state->pendingOpenPath, "");
  EXPECT_EQ(state->screen, Screen::VersionSelect);
  EXPECT_EQ(state->currentItem.path, samples + "/take.pcv");
  EXPECT_EQ(state->currentItem.files.size(), 2u);
}

TEST_F(AppStateTest, UnlistedFileReportsUnreadable) {
  settleBrowserOn(samples);
  state->pendingOpenPath = samples + "/missing.pcv";
  handlePendingOpen(*state);
  EXPECT_EQ(state->status, "文件不存在或无法读取");
  EXPECT_EQ(state->screen, Screen::Browser);
  EXPECT_EQ(state->pendingOpenPath, "");
}

TEST_F(AppStateTest, FileInAMissingFolderEndsAfterOneNavigation) {
  state->pendingOpenPath = temp / "gone/take.pcv";
  handlePendingOpen(*state);
  EXPECT_EQ(state->browser.currentPath, temp / "gone");
  awaitListing();
  EXPECT_FALSE(state->browser.directory.error.empty());
  handlePendingOpen(*state);
  EXPECT_EQ(state->status, "文件不存在或无法读取");
  EXPECT_EQ(state->pendingOpenPath, "");
  EXPECT_FALSE(state->browser.loading);
}

TEST_F(AppStateTest, BrowserThatRenamesTheFolderDoesNotNavigateForever) {
  state->pendingOpenPath = samples + "/take.pcv";
  handlePendingOpen(*state);
  awaitListing();
  state->browser.currentPath = samples + "-elsewhere";  // as if the listing had settled elsewhere
  handlePendingOpen(*state);
  EXPECT_EQ(state->status, "文件不存在或无法读取");
  EXPECT_EQ(state->pendingOpenPath, "");
  EXPECT_FALSE(state->browser.loading);
}

TEST_F(AppStateTest, FolderSwitchesToTheBrowserAndNavigates) {
  state->screen = Screen::VersionSelect;
  state->pendingOpenPath = samples + "/sub/";
  handlePendingOpen(*state);
  EXPECT_EQ(state->screen, Screen::Browser);
  EXPECT_EQ(state->browser.currentPath, samples + "/sub");
  EXPECT_EQ(state->browser.history().back(), samples + "/sub");
  EXPECT_EQ(state->pendingOpenPath, "");
}

TEST_F(AppStateTest, PendingPathWaitsWhileLoadingOrListing) {
  state->pendingOpenPath = samples;
  state->screen = Screen::Loading;
  handlePendingOpen(*state);
  EXPECT_EQ(state->pendingOpenPath, samples);
  state->screen = Screen::Browser;
  state->browser.navigate(other, false);
  handlePendingOpen(*state);
  EXPECT_EQ(state->pendingOpenPath, samples);
  awaitListing();
  handlePendingOpen(*state);
  EXPECT_EQ(state->pendingOpenPath, "");
  EXPECT_EQ(state->browser.currentPath, samples);
}

TEST_F(AppStateTest, PhotoOpensInThePhotoEditorAndIsRemembered) {
  settleBrowserOn(samples);
  openListedPath(*state, samples + "/shot.pcp");
  EXPECT_EQ(state->screen, Screen::PhotoEditor);
  EXPECT_EQ(state->recent.entries().front(), samples + "/shot.pcp");
  EXPECT_NE(apptest::readText(temp / "recent.json").find("shot.pcp"), std::string::npos);

  const size_t historyBefore = state->browser.history().size();
  leavePhotoEditor(*state);
  EXPECT_EQ(state->screen, Screen::Browser);
  EXPECT_EQ(state->browser.currentPath, samples);
  EXPECT_TRUE(state->browser.loading);
  EXPECT_EQ(state->browser.history().size(), historyBefore);
}

TEST_F(AppStateTest, RelayBetweenBrowserAndQueue) {
  pcv0930::MediaItem item;
  item.path = samples + "/take.pcv";
  item.name = "take.pcv";
  state->browser.marked = {{item.path, true}, {samples + "/shot.pcp", true}, {"/kept.pcv", true}};
  state->browser.exportItems = {item, item};
  state->browser.addMarkedRequest = true;
  state->queue.removedPaths = {samples + "/shot.pcp"};
  state->queue.running = true;
  relayBrowserAndQueue(*state);
  ASSERT_EQ(state->queue.tasks().size(), 1u);
  EXPECT_TRUE(state->browser.exportItems.empty());
  EXPECT_FALSE(state->browser.addMarkedRequest);
  EXPECT_TRUE(state->queue.removedPaths.empty());
  EXPECT_EQ(state->browser.marked.size(), 2u);
  EXPECT_TRUE(state->browser.batchRunning);

  state->browser.clearQueueRequest = true;
  relayBrowserAndQueue(*state);
  EXPECT_TRUE(state->queue.tasks().empty());
  EXPECT_FALSE(state->browser.clearQueueRequest);
  EXPECT_FALSE(state->queue.listCleared);
  EXPECT_TRUE(state->browser.marked.empty());

  // A finished job refreshes the listing on the browser screen only, without history.
  const size_t historyBefore = state->browser.history().size();
  state->queue.jobFinished = true;
  state->screen = Screen::VideoEditor;
  relayBrowserAndQueue(*state);
  EXPECT_FALSE(state->queue.jobFinished);
  EXPECT_FALSE(state->browser.loading);
  state->queue.jobFinished = true;
  state->screen = Screen::Browser;
  relayBrowserAndQueue(*state);
  EXPECT_TRUE(state->browser.loading);
  EXPECT_EQ(state->browser.currentPath, other);
  EXPECT_EQ(state->browser.history().size(), historyBefore);
}

TEST_F(AppStateTest, BrowserListingFoldsSegmentsAndSkipsDotFiles) {
  apptest::writeText(samples + "/.hidden.pcv", "x");
  apptest::writeText(samples + "/notes.txt", "x");
  settleBrowserOn(samples);
  const pcv0930::Directory& listed = state->browser.directory;
  EXPECT_EQ(listed.error, "");
  EXPECT_EQ(listed.folders, std::vector<std::string>{samples + "/sub"});
  ASSERT_EQ(listed.items.size(), 2u);
  EXPECT_EQ(listed.items[0].name, "shot.pcp");
  EXPECT_TRUE(listed.items[0].photo);
  EXPECT_EQ(listed.items[1].name, "take.pcv");
  EXPECT_EQ(listed.items[1].files, (std::vector<std::string>{samples + "/take.pcv", samples + "/take_1.pcv"}));
  EXPECT_EQ(listed.items[1].size, fs::file_size(samples + "/take.pcv") + fs::file_size(samples + "/take_1.pcv"));
}

}  // namespace
}  // namespace tessaline
