#include "versioned_write.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace pcv0930 {
namespace {

const char* const kChangedBeforeWrite = "项目已被其他程序修改，请重新读取后保存";
const char* const kCannotWrite = "无法写入项目，请检查目录权限与剩余空间";
const char* const kChangedBeforeRename = "项目已被其他程序修改，未覆盖原文件";

// Closes the descriptor on every path out of a function.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  bool close() {
    if (fd_ < 0) return true;
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
  }

 private:
  int fd_;
};

int openRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool writeAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    written += static_cast<size_t>(n);
  }
  return true;
}

// Exclusive advisory lock; flock locks belong to the open file, so threads of one process that
// share the temporary name exclude each other as well as other processes do.
bool lockExclusive(int fd) {
  int result;
  do {
    result = ::flock(fd, LOCK_EX);
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

// A lock file made by another user may be read-only for us; flock works on it all the same.
int openLockFile(const std::string& lockPath) {
  const int fd = openRetrying(lockPath.c_str(), O_RDWR | O_CREAT, 0666);
  return fd >= 0 ? fd : openRetrying(lockPath.c_str(), O_RDONLY);
}

bool currentBytesEqual(const std::filesystem::path& target, const std::string& expected) {
  std::string current;
  const ReadStatus status = readWholeFile(target, current);
  return (status == ReadStatus::Ok || status == ReadStatus::Missing) && current == expected;
}

// A rename is durable only once its folder is on disk. Some file systems refuse fsync on a
// folder; the rename itself has happened then, so that is not a failure of the write.
void syncFolder(const std::filesystem::path& file) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  FileDescriptor dir(openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (dir.valid()) ::fsync(dir.get());
}

}  // namespace

ReadStatus readWholeFile(const std::filesystem::path& file, std::string& bytes) {
  bytes.clear();
  // Without O_NONBLOCK opening a FIFO waits for a writer, which would stall a listing for good.
  FileDescriptor in(openRetrying(file.c_str(), O_RDONLY | O_NONBLOCK));
  if (!in.valid()) return errno == ENOENT ? ReadStatus::Missing : ReadStatus::OpenFailed;
  struct stat info {};
  if (::fstat(in.get(), &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) return ReadStatus::OpenFailed;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer, sizeof buffer);
    if (n == 0) return ReadStatus::Ok;
    if (n < 0) {
      if (errno == EINTR) continue;
      bytes.clear();
      return ReadStatus::ReadFailed;
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

std::filesystem::path versionedWriteLockPath(const std::filesystem::path& target) {
  return target.parent_path() / ("." + target.filename().string() + ".lock");
}

bool writeVersionedFile(const std::filesystem::path& target, const std::string& loadedText,
                        const std::string& newText, std::string& error,
                        const std::function<void()>& beforeFinalComparison) {
  const std::string lockPath = versionedWriteLockPath(target).string();
  FileDescriptor lock(openLockFile(lockPath));
  if (!lock.valid() || !lockExclusive(lock.get())) {
    error = kCannotWrite;
    return false;
  }

  if (!currentBytesEqual(target, loadedText)) {
    error = kChangedBeforeWrite;
    return false;
  }
  const std::filesystem::path temporary =
      target.string() + ".0930-" + std::to_string(::getpid()) + ".tmp";
  auto fail = [&](const char* reason) {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    error = reason;
    return false;
  };
  FileDescriptor out(openRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!out.valid()) {
    error = kCannotWrite;  // nothing of ours to remove: the name may belong to something else
    return false;
  }
  // fsync before the rename: otherwise a power loss can leave an empty file in the target's place.
  if (!writeAll(out.get(), newText) || ::fsync(out.get()) != 0 || !out.close()) return fail(kCannotWrite);
  if (beforeFinalComparison) beforeFinalComparison();
  if (!currentBytesEqual(target, loadedText)) return fail(kChangedBeforeRename);
  if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(kCannotWrite);
  syncFolder(target);
  return true;
}

}  // namespace pcv0930
