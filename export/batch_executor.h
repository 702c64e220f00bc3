#pragma once
// Runs batch export tasks as child processes of this executable ("--media-export-job"), a few at
// a time, never two that write the same version document together. Parent and child talk only
// through files beside the job file: J (job), J.state (child), J.cancel (parent), J.log (output).
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace media {

struct BatchProcess {
  enum Status { Waiting = 1, Running = 2, Finished = 3, Failed = 4, Cancelled = 5 };

  uint64_t id = 0;
  // Canonical path of the sidecar or project file the job writes.
  std::string documentKey;
  nlohmann::json job = nlohmann::json::object();
  // The last state document read from the child; null before.
  nlohmann::json state;
  std::string jobPath;
  pid_t pid = 0;
  int status = Waiting;
  float progress = 0.0f;
  std::string message;
};

class BatchExecutor {
 public:
  // Reaps ended children, reads the state of running ones and starts waiting ones. Never blocks.
  void poll();
  // Asks running children to stop through their cancel files and cancels the waiting tasks.
  void cancel();

  std::vector<BatchProcess> processes;
  bool active = false;
  bool cancelling = false;
  // How many children may run at once, 1 to 5.
  int concurrency = 1;
  // The most children that ran at the same time.
  unsigned peak = 0;
  std::string executablePath;
  std::string jobFolder;

 private:
  void launch(BatchProcess& process);
  void readState(BatchProcess& process);
  void reap(BatchProcess& process);
  void launchWaiting();
  size_t runningCount() const;
};

}  // namespace media
