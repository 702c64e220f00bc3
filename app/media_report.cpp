#include "media_report.h"

#include <exception>
#include <filesystem>
#include <optional>
#include <system_error>

#include <nlohmann/json.hpp>

#include "clock_index.h"
#include "directory_listing.h"
#include "pcv_reader.h"
#include "photo_document.h"

namespace tessaline {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// The failure to report; none while the inspection goes on.
using Failure = std::optional<std::string>;

Failure describeRecording(const std::string& path, json& document) {
  PcvReader reader;
  if (!reader.open(path)) return reader.error();
  pcv0930::ClockIndex clocks;
  if (!clocks.build(reader, [](size_t, size_t) { return true; })) return "时间索引错误";
  const auto last = static_cast<int64_t>(reader.frameCount()) - 1;
  document["frames"] = reader.frameCount();
  document["parameters"] = json{{"tracks", json::object()}};
  document["first_time"] = clocks.text(0);
  document["last_time"] = clocks.text(last);
  document["rgb_frames"] = clocks.rgbCount(0, last);
  return std::nullopt;
}

Failure describePhoto(const std::string& path, json& document) {
  media::PhotoDocument photo;
  if (!photo.load(path)) return photo.error;
  document["parameters"] = media::PhotoParams::read(json::object(), photo.json).json();
  document["versions"] = photo.versionNames;
  return std::nullopt;
}

Failure inspect(const std::string& argument, std::string& text) {
  // Joined by hand: fs::absolute refuses an empty path, which names the current folder.
  const fs::path given(argument);
  std::error_code error;
  const fs::path absolute = given.is_absolute() ? given : fs::current_path(error) / given;
  if (error) return error.message();
  const fs::path target = absolute.lexically_normal();
  const std::string folder = target.parent_path().string();

  const pcv0930::CancelCheck neverCancel = [] { return false; };
  pcv0930::Directory directory = pcv0930::listDirectory(folder, neverCancel);
  if (!directory.error.empty()) return directory.error;
  media::appendPhotos(directory, folder, neverCancel);

  const pcv0930::MediaItem* item = nullptr;
  for (const pcv0930::MediaItem& listed : directory.items) {
    if (listed.path == target.string()) item = &listed;
  }
  if (!item) return "素材未找到";

  json document = {{"source", target.string()},
                   {"photo", item->photo},
                   {"fingerprint", item->fingerprint},
                   {"error", item->error}};
  const Failure failure = item->photo ? describePhoto(target.string(), document)
                                      : describeRecording(target.string(), document);
  if (failure) return failure;
  // A name that is not UTF-8 is shown with replacement characters rather than refused.
  text = document.dump(2, ' ', false, json::error_handler_t::replace);
  return std::nullopt;
}

}  // namespace

int inspectMedia(const std::string& path, std::ostream& out, std::ostream& err) {
  std::string text;
  Failure failure;
  try {
    failure = inspect(path, text);
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure) {
    out << text << '\n' << std::flush;
    if (out) return 0;
    // A summary that did not reach its reader (a full disk, a closed pipe) is no success.
    failure = "无法写出结果";
  }
  err << *failure << '\n' << std::flush;
  return 1;
}

}  // namespace tessaline
