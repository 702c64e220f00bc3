#pragma once
// The headless export job: one photo or video export described by a job file, run in a child
// process that reports through a state file beside the job file and stops at its cancel file.
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace media {

// 0 after success, 1 after any failure or cancel; the state file holds the outcome either way.
int runExportJob(const std::string& jobPath);

// Writes the document compactly to path + ".tmp", then renames it over path, so readers see either
// the old or the new document. Throws std::runtime_error on failure.
void atomicJson(const std::filesystem::path& path, const nlohmann::json& document);

}  // namespace media
