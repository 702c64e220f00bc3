#pragma once
// The one write protocol of every version document (video project files, photo sidecars).
#include <filesystem>
#include <functional>
#include <string>

namespace pcv0930 {

enum class ReadStatus { Ok, Missing, OpenFailed, ReadFailed };

// Reads a whole file; bytes is empty unless the result is Ok.
ReadStatus readWholeFile(const std::filesystem::path& file, std::string& bytes);

// Hidden file beside the target that writers of this program lock; it is never renamed or removed,
// so every writer locks the same inode however often the target itself is replaced.
std::filesystem::path versionedWriteLockPath(const std::filesystem::path& target);

// Replaces target with newText unless its bytes differ from loadedText (an empty text stands for
// a missing file). Under an exclusive lock of versionedWriteLockPath(target): compare, write
// target + ".0930-<pid>.tmp", flush it to disk, compare again, rename over the target, flush the
// folder. The comparisons guard against programs that do not take the lock. On failure error gets
// the reason, the target is untouched and no temporary file stays behind.
// beforeFinalComparison runs after the temporary file is complete (tests use it to change the
// target at the last moment).
bool writeVersionedFile(const std::filesystem::path& target, const std::string& loadedText,
                        const std::string& newText, std::string& error,
                        const std::function<void()>& beforeFinalComparison = nullptr);

}  // namespace pcv0930
