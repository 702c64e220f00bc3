#include "batch_executor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "export_job_support.h"
#include "pcp_writer.h"
#include "photo_document.h"

namespace fs = std::filesystem;
using media::BatchExecutor;
using media::BatchProcess;

namespace {

using exportjobtest::readFile;
using exportjobtest::writeScript;

bool stateSays(const BatchProcess& process, const char* key) {
  return process.state.is_object() && process.state.value(key, false);
}

class BatchExecutorTest : public ::testing::Test {
 protected:
  // A run of `count` waiting tasks with ids 1..count and keys "key-<id>".
  void prepare(const std::string& executable, int count, int concurrency) {
    executor.executablePath = executable;
    executor.jobFolder = (temp / "settings" / "jobs").string();
    executor.concurrency = concurrency;
    for (int id = 1; id <= count; ++id) {
      BatchProcess process;
      process.id = static_cast<uint64_t>(id);
      process.documentKey = "key-" + std::to_string(id);
      process.job = {{"source", temp.file("take.pcv")}, {"photo", false}, {"task", id}};
      process.message = "等待导出";
      executor.processes.push_back(process);
    }
    executor.active = true;
  }

  // Polls until the executor is idle; `eachPoll` sees the executor after every poll.
  void runToEnd(const std::function<void(const BatchExecutor&)>& eachPoll = {}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (executor.active && std::chrono::steady_clock::now() < deadline) {
      executor.poll();
      if (eachPoll) eachPoll(executor);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_FALSE(executor.active) << "the run did not end";
  }

  // Polls until `ready` holds, at most a generous while.
  bool pollUntil(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      executor.poll();
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  std::vector<pid_t> runningPids() const {
    std::vector<pid_t> pids;
    for (const BatchProcess& process : executor.processes) {
      if (process.pid != 0) pids.push_back(process.pid);
    }
    return pids;
  }

  // A stand-in child: takes the fixture state "<id>.state" and exit code "<id>.exit" from its
  // own folder, found by the task id at the end of the job file name.
  std::string fixtureChild() {
    const fs::path script = temp / "fixture child";
    writeScript(script,
                "id=${2##*-}; id=${id%.json}; here=$(dirname \"$0\")\n"
                "[ -f \"$here/$id.state\" ] && cp \"$here/$id.state\" \"$2.state\"\n"
                "exit $(cat \"$here/$id.exit\")");
    return script.string();
  }
  void fixture(int id, const nlohmann::json& state, int exitCode) {
    if (!state.is_null()) std::ofstream(temp / (std::to_string(id) + ".state")) << state.dump();
    std::ofstream(temp / (std::to_string(id) + ".exit")) << exitCode;
  }

  // A stand-in child that reports progress, then waits for its cancel file (or `ticks` of 20 ms) and
  // ends the way the job runner does.
  std::string waitingChild(int ticks) {
    const fs::path script = temp / "waiting child";
    writeScript(script,
                "printf '%s' '{\"progress\":2.5,\"stage\":\"导出 1 / 9 帧\",\"finished\":false}' > \"$2.state\"\n"
                "n=0; while [ ! -e \"$2.cancel\" ] && [ $n -lt " + std::to_string(ticks) + " ]; do sleep 0.02; n=$((n+1)); done\n"
                "if [ -e \"$2.cancel\" ]; then\n"
                "  printf '%s' '{\"progress\":0,\"stage\":\"已取消\",\"finished\":true,\"success\":false,\"canceled\":true}' > \"$2.state\"; exit 1\n"
                "fi\n"
                "printf '%s' '{\"progress\":1,\"stage\":\"完成\",\"finished\":true,\"success\":true}' > \"$2.state\"");
    return script.string();
  }

  // Makes every task a real SVG export of its own small photo (task n renders "photo-n.pcp").
  void usePhotoJobs() {
    const fs::path out = temp / "out";
    fs::create_directories(out);
    for (BatchProcess& process : executor.processes) {
      const fs::path photo = temp / ("photo-" + std::to_string(process.id) + ".pcp");
      const std::string meta = nlohmann::json{{"depth_width", 4}, {"depth_height", 3}, {"fov_half_deg", 20.0}}.dump();
      ASSERT_TRUE(pcpwrite::writePcp(photo.string(), {meta, std::vector<uint16_t>(12, 1500), {}}));
      media::PhotoDocument document;
      ASSERT_TRUE(document.load(photo)) << document.error;
      process.documentKey = photo.string() + ".json";
      process.job = {{"source", photo.string()},
                     {"photo", true},
                     {"width", 32},
                     {"height", 24},
                     {"format", 1},
                     {"directory", out.string()},
                     {"fingerprint", media::photoFingerprint(document)},
                     {"parameters", nlohmann::json::object()}};
    }
  }

  testsupport::TempFolder temp;
  BatchExecutor executor;
};

const std::string kTessaline = TESSALINE_EXECUTABLE;

TEST_F(BatchExecutorTest, LaunchWritesTheJobAndLogFilesInANewJobFolder) {
  prepare(kTessaline, 1, 1);
  ASSERT_FALSE(fs::exists(executor.jobFolder));
  const auto before = std::chrono::system_clock::now();
  executor.poll();
  const auto after = std::chrono::system_clock::now();
  const BatchProcess& process = executor.processes[0];
  ASSERT_NE(process.pid, 0) << process.message;
  EXPECT_EQ(process.status, BatchProcess::Running);
  EXPECT_EQ(executor.peak, 1u);

  const fs::path job = process.jobPath;
  EXPECT_EQ(job.parent_path(), fs::path(executor.jobFolder));
  // "<microseconds>-<parent pid>-<task id>.json"
  const std::string fileName = job.filename().string();
  const size_t firstDash = fileName.find('-');
  const size_t secondDash = fileName.find('-', firstDash + 1);
  ASSERT_NE(secondDash, std::string::npos) << fileName;
  const std::string stamp = fileName.substr(0, firstDash);
  ASSERT_TRUE(!stamp.empty() && stamp.find_first_not_of("0123456789") == std::string::npos) << fileName;
  EXPECT_EQ(fileName.substr(firstDash + 1), std::to_string(getpid()) + "-1.json");
  const auto micros = [](auto time) {
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  };
  EXPECT_GE(std::stoll(stamp), micros(before));
  EXPECT_LE(std::stoll(stamp), micros(after));
  EXPECT_EQ(readFile(job), process.job.dump());  // compact

  struct stat log {};
  ASSERT_EQ(stat((process.jobPath + ".log").c_str(), &log), 0);
  EXPECT_EQ(log.st_mode & 0777, 0600u);

  runToEnd();
  EXPECT_EQ(executor.processes[0].pid, 0);
  for (const char* suffix : {"", ".log"}) EXPECT_TRUE(fs::exists(process.jobPath + suffix)) << suffix;
}

TEST_F(BatchExecutorTest, ChildKilledWithSigkillEndsAbnormally) {
  prepare(waitingChild(1500), 1, 1);
  executor.processes[0].job["task"] = "killed";
  ASSERT_TRUE(pollUntil([&] { return executor.processes[0].progress == 1.0f; }));  // 2.5, clamped
  EXPECT_EQ(executor.processes[0].message, "导出 1 / 9 帧");
  EXPECT_EQ(executor.processes[0].status, BatchProcess::Running);
  ASSERT_EQ(kill(executor.processes[0].pid, SIGKILL), 0);
  runToEnd();
  EXPECT_EQ(executor.processes[0].status, BatchProcess::Failed);
  EXPECT_EQ(executor.processes[0].message, "导出进程异常结束");
}

TEST_F(BatchExecutorTest, RealChildKilledWithSigkillEndsAbnormally) {
  prepare(kTessaline, 1, 1);
  executor.poll();
  ASSERT_NE(executor.processes[0].pid, 0);
  kill(executor.processes[0].pid, SIGKILL);
  runToEnd();
  EXPECT_EQ(executor.processes[0].status, BatchProcess::Failed);
  EXPECT_EQ(executor.processes[0].message, "导出进程异常结束");
}

TEST_F(BatchExecutorTest, HowAChildEndedDecidesTheTaskStatus) {
  prepare(fixtureChild(), 8, 5);
  const nlohmann::json success = {{"progress", 1.0}, {"stage", "完成"}, {"finished", true}, {"success", true}};
  const nlohmann::json failure = {{"progress", 0}, {"stage", "源文件已变化"}, {"finished", true}, {"success", false}};
  nlohmann::json cancelled = failure;
  cancelled["stage"] = "已取消";
  cancelled["canceled"] = true;
  fixture(1, success, 0);
  fixture(2, failure, 0);        // exits 0 but says it failed
  fixture(3, success, 1);        // says success but exits 1
  fixture(4, cancelled, 1);
  fixture(5, nullptr, 0);        // no state at all
  fixture(6, {{"progress", 0.4}, {"stage", "导出 2 / 5 帧"}, {"finished", false}}, 0);
  fixture(7, nullptr, 0);
  std::ofstream(temp / "7.state") << "{\"progress\":0.5,\"stage\":\"半";  // half written
  fixture(8, {{"progress", -1e300}, {"stage", "导出 1 / 5 帧"}, {"finished", false}}, 0);  // far outside float

  runToEnd();
  struct Expected {
    int status;
    const char* message;
  };
  const Expected expected[] = {
      {BatchProcess::Finished, "完成"},          {BatchProcess::Failed, "源文件已变化"},
      {BatchProcess::Failed, "完成"},            {BatchProcess::Cancelled, "已取消"},
      {BatchProcess::Failed, "导出进程异常结束"}, {BatchProcess::Failed, "导出进程异常结束"},
      {BatchProcess::Failed, "导出进程异常结束"}, {BatchProcess::Failed, "导出进程异常结束"},
  };
  for (size_t i = 0; i < executor.processes.size(); ++i) {
    EXPECT_EQ(executor.processes[i].status, expected[i].status) << "task " << i + 1;
    EXPECT_EQ(executor.processes[i].message, expected[i].message) << "task " << i + 1;
  }
  EXPECT_EQ(executor.processes[0].progress, 1.0f);
  EXPECT_EQ(executor.processes[5].progress, 0.4f);
  EXPECT_EQ(executor.processes[7].progress, 0.0f);
  EXPECT_TRUE(executor.processes[4].state.is_null());
  EXPECT_TRUE(executor.processes[6].state.is_null());
}

TEST_F(BatchExecutorTest, ConcurrencyLimitAndPeak) {
  prepare(waitingChild(15), 5, 2);
  size_t most = 0;
  runToEnd([&](const BatchExecutor&) { most = std::max(most, runningPids().size()); });
  EXPECT_EQ(most, 2u);
  EXPECT_EQ(executor.peak, 2u);
  for (const BatchProcess& process : executor.processes) {
    EXPECT_EQ(process.status, BatchProcess::Finished) << process.id << " " << process.message;
    EXPECT_EQ(process.progress, 1.0f);
  }
}

TEST_F(BatchExecutorTest, TasksOfOneDocumentNeverRunTogether) {
  prepare(waitingChild(10), 4, 5);
  for (BatchProcess& process : executor.processes) {
    if (process.id != 4) process.documentKey = "/photos/shot.pcp.json";
  }
  std::set<pid_t> seen;
  runToEnd([&](const BatchExecutor& run) {
    int sameKey = 0;
    for (const BatchProcess& process : run.processes) {
      if (process.pid == 0) continue;
      seen.insert(process.pid);
      if (process.documentKey == "/photos/shot.pcp.json") ++sameKey;
    }
    EXPECT_LE(sameKey, 1);
  });
  EXPECT_EQ(seen.size(), 4u);
  EXPECT_EQ(executor.peak, 2u);  // the other document ran beside them
  for (const BatchProcess& process : executor.processes) EXPECT_EQ(process.status, BatchProcess::Finished);
}

TEST_F(BatchExecutorTest, CancelStopsRunningChildrenAndWaitingTasks) {
  prepare(waitingChild(1500), 5, 2);
  ASSERT_TRUE(pollUntil([&] { return runningPids().size() == 2; }));
  executor.cancel();
  EXPECT_TRUE(executor.cancelling);
  for (int i = 2; i < 5; ++i) {
    EXPECT_EQ(executor.processes[i].status, BatchProcess::Cancelled);
    EXPECT_EQ(executor.processes[i].message, "未开始，已取消");
  }
  for (int i = 0; i < 2; ++i) EXPECT_EQ(readFile(executor.processes[i].jobPath + ".cancel"), "cancel");

  runToEnd([&](const BatchExecutor& run) {
    for (int i = 2; i < 5; ++i) EXPECT_EQ(run.processes[i].pid, 0) << "started after the cancel";
  });
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(executor.processes[i].status, BatchProcess::Cancelled);
    EXPECT_EQ(executor.processes[i].message, "已取消");
  }
  for (int i = 2; i < 5; ++i) EXPECT_TRUE(executor.processes[i].jobPath.empty());
}

TEST_F(BatchExecutorTest, CancelWithTheRealProgram) {
  prepare(kTessaline, 3, 1);
  usePhotoJobs();
  executor.poll();
  ASSERT_NE(executor.processes[0].pid, 0);
  executor.cancel();
  EXPECT_EQ(readFile(executor.processes[0].jobPath + ".cancel"), "cancel");
  runToEnd();
  EXPECT_EQ(executor.processes[0].status, BatchProcess::Cancelled) << executor.processes[0].message;
  EXPECT_TRUE(stateSays(executor.processes[0], "canceled"));
  for (int i = 1; i < 3; ++i) {
    EXPECT_EQ(executor.processes[i].status, BatchProcess::Cancelled);
    EXPECT_EQ(executor.processes[i].message, "未开始，已取消");
  }
}

TEST_F(BatchExecutorTest, RealJobsRunTwoAtATime) {
  prepare(kTessaline, 5, 2);
  usePhotoJobs();
  size_t most = 0;
  runToEnd([&](const BatchExecutor&) { most = std::max(most, runningPids().size()); });
  EXPECT_EQ(most, 2u);
  EXPECT_EQ(executor.peak, 2u);
  for (const BatchProcess& process : executor.processes) {
    EXPECT_EQ(process.status, BatchProcess::Finished) << process.message << readFile(process.jobPath + ".log");
    EXPECT_EQ(process.progress, 1.0f);
    EXPECT_EQ(process.message, "完成");
    EXPECT_TRUE(fs::exists(process.state.value("output", std::string())));
  }
}

TEST_F(BatchExecutorTest, RealJobsOfOnePhotoRunOneAfterTheOther) {
  prepare(kTessaline, 2, 5);
  usePhotoJobs();
  executor.processes[1].job = executor.processes[0].job;
  executor.processes[1].documentKey = executor.processes[0].documentKey;
  runToEnd([&](const BatchExecutor& run) { EXPECT_LE(runningPids().size(), 1u) << run.processes.size(); });
  EXPECT_EQ(executor.peak, 1u);
  std::set<std::string> outputs;
  for (const BatchProcess& process : executor.processes) {
    EXPECT_EQ(process.status, BatchProcess::Finished) << process.message;
    outputs.insert(process.state.value("output", std::string()));
  }
  EXPECT_EQ(outputs.size(), 2u);  // the second job did not replace the first one's file
}

TEST_F(BatchExecutorTest, RealFailingJobEndsWithItsOwnText) {
  prepare(kTessaline, 1, 1);
  usePhotoJobs();
  executor.processes[0].job["fingerprint"] = "stale";
  runToEnd();
  const BatchProcess& process = executor.processes[0];
  EXPECT_EQ(process.status, BatchProcess::Failed);
  EXPECT_TRUE(stateSays(process, "finished"));
  EXPECT_FALSE(process.message.empty());
  EXPECT_EQ(process.message, process.state.value("stage", std::string()));
  EXPECT_NE(process.message, "导出进程异常结束");
}

TEST_F(BatchExecutorTest, ChildIsStartedWithoutAShell) {
  // Every name below would do something else if a shell read it.
  const fs::path tools = temp / "tools $(touch pwned) ; `touch pwned2` 'q' \"d\"";
  fs::create_directories(tools);
  const fs::path script = tools / "child & echo";
  writeScript(script, "printf '%s\\n' \"$0\" \"$#\" \"$1\" \"$2\" > \"$2.arguments\"\necho to-output\necho to-error >&2");
  prepare(script.string(), 1, 1);
  executor.jobFolder = (temp / "jobs $HOME | `id` ; 'x'").string();
  runToEnd();

  const BatchProcess& process = executor.processes[0];
  EXPECT_EQ(process.message, "导出进程异常结束");  // exited 0 without a state
  EXPECT_EQ(fs::path(process.jobPath).parent_path(), fs::path(executor.jobFolder));
  EXPECT_EQ(readFile(process.jobPath + ".arguments"),
            script.string() + "\n2\n--media-export-job\n" + process.jobPath + "\n");
  EXPECT_EQ(readFile(process.jobPath + ".log"), "to-output\nto-error\n");
  for (const char* marker : {"pwned", "pwned2"}) {
    EXPECT_FALSE(fs::exists(temp / marker));
    EXPECT_FALSE(fs::exists(fs::current_path() / marker));
  }
}

TEST_F(BatchExecutorTest, LaunchFailuresFailOnlyTheirTask) {
  prepare(kTessaline, 3, 1);
  executor.processes[1].job["note"] = std::string("\xff\xfe");  // cannot be written as JSON text
  executor.processes[2].documentKey = executor.processes[0].documentKey;
  runToEnd();
  EXPECT_EQ(executor.processes[0].status, BatchProcess::Failed);  // the runner ran and failed
  EXPECT_NE(executor.processes[0].message, "启动导出…");
  EXPECT_EQ(executor.processes[1].status, BatchProcess::Failed);
  EXPECT_THAT(executor.processes[1].message, ::testing::HasSubstr("UTF-8"));
  EXPECT_EQ(executor.processes[1].pid, 0);
  EXPECT_TRUE(executor.processes[1].jobPath.empty());
  EXPECT_NE(executor.processes[2].jobPath, "");  // still launched after the failure

  BatchExecutor missing;
  missing.executablePath = temp.file("no such program");
  missing.jobFolder = temp.file("jobs");
  missing.concurrency = 2;
  missing.processes.resize(2);
  missing.processes[0].id = 1;
  missing.processes[1].id = 2;
  missing.processes[1].documentKey = "other";
  missing.active = true;
  missing.poll();
  for (const BatchProcess& process : missing.processes) {
    EXPECT_EQ(process.status, BatchProcess::Failed);
    EXPECT_EQ(process.message, std::string("无法启动导出进程：") + std::strerror(ENOENT));
    EXPECT_EQ(process.pid, 0);
  }
  EXPECT_FALSE(missing.active);
  EXPECT_EQ(missing.peak, 0u);
}

TEST_F(BatchExecutorTest, AJobFolderThatCannotBeMadeFailsTheTask) {
  std::ofstream(temp / "settings") << "a file where the folder should be";
  prepare(kTessaline, 1, 1);
  executor.poll();
  EXPECT_EQ(executor.processes[0].status, BatchProcess::Failed);
  EXPECT_FALSE(executor.processes[0].message.empty());
  EXPECT_FALSE(executor.active);
}

TEST_F(BatchExecutorTest, IdleExecutorDoesNothing) {
  prepare(kTessaline, 2, 1);
  executor.active = false;
  executor.poll();
  executor.cancel();
  EXPECT_FALSE(executor.cancelling);
  for (const BatchProcess& process : executor.processes) {
    EXPECT_EQ(process.status, BatchProcess::Waiting);
    EXPECT_EQ(process.pid, 0);
  }
  EXPECT_FALSE(fs::exists(executor.jobFolder));
}

}  // namespace
