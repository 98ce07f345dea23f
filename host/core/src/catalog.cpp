// The catalog of a search path: every library described out of process by the probe,
// with what was learnt kept in a cache keyed by path, size and modification time.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <string>

#include "montage/host.h"
#include "montage/output_file.h"
#include "probe.h"

namespace montage {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCacheHeader = "montage plug-in scan 1";
// Entries kept in the cache at most; beyond it only this scan's are kept.
constexpr std::size_t kCacheEntries = 4096;

std::string ToLower(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::optional<int> ToInt(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// What the cache knows a file by: it is described again when any of these changes.
struct FileStamp {
  std::int64_t size = -1;
  std::int64_t modified = 0;  // nanoseconds
  std::int64_t changed = 0;   // status change, nanoseconds
  std::int64_t inode = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

std::optional<FileStamp> StampOf(const fs::path& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) return std::nullopt;
  auto nanoseconds = [](const timespec& time) { return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec; };
  return FileStamp{status.st_size, nanoseconds(status.st_mtim), nanoseconds(status.st_ctim),
                   static_cast<std::int64_t>(status.st_ino)};
}

// What a scan learnt of one library: its template, or why it is broken.
struct Description {
  std::optional<TemplateInfo> info;
  std::string failure;
};

// The fields after "TEMPLATE <library>": name, display name, min, max, default, code.
std::optional<TemplateInfo> TemplateFrom(const fs::path& library, const std::vector<std::string>& fields,
                                         std::size_t first) {
  if (fields.size() != first + 6) return std::nullopt;
  const std::optional<int> min = ToInt(fields[first + 2]);
  const std::optional<int> max = ToInt(fields[first + 3]);
  const std::optional<int> proposed = ToInt(fields[first + 4]);
  const std::optional<int> code = ToInt(fields[first + 5]);
  if (!min || !max || !proposed || !code) return std::nullopt;
  return TemplateInfo{library, fields[first], fields[first + 1], *min, *max, *proposed, *code};
}

std::vector<std::string> TemplateFields(const TemplateInfo& info) {
  return {info.name,
          info.displayName,
          std::to_string(info.minInputs),
          std::to_string(info.maxInputs),
          std::to_string(info.defaultInputs),
          std::to_string(info.templateCode)};
}

// ---- Cache ---------------------------------------------------------------------------------
// A text file: the header line, then one line per library:
//   <path> <size> <modified> <changed> <inode> TEMPLATE <name> <display> <min> <max> <default> <code>
//   <path> <size> <modified> <changed> <inode> BROKEN <reason>

struct CacheEntry {
  FileStamp stamp;
  Description description;
};
using Cache = std::map<std::string, CacheEntry>;

Cache ReadCache(const fs::path& file) {
  Cache cache;
  std::ifstream in(file);
  std::string line;
  if (file.empty() || !std::getline(in, line) || line != kCacheHeader) return cache;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = detail::DecodeLine(line);
    if (fields.size() < 7) continue;
    auto number = [](const std::string& text) -> std::optional<std::int64_t> {
      std::int64_t value = 0;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
      return value;
    };
    const auto size = number(fields[1]), modified = number(fields[2]), changed = number(fields[3]),
               inode = number(fields[4]);
    if (!size || !modified || !changed || !inode) continue;
    CacheEntry entry{{*size, *modified, *changed, *inode}, {}};
    if (fields[5] == "TEMPLATE") {
      entry.description.info = TemplateFrom(fields[0], fields, 6);
      if (!entry.description.info) continue;
    } else if (fields[5] == "BROKEN" && fields.size() == 7) {
      entry.description.failure = fields[6];
    } else {
      continue;
    }
    cache[fields[0]] = std::move(entry);
  }
  return cache;
}

// Writes the cache; a cache that cannot be written is no reason to fail a scan.
void WriteCache(const fs::path& file, const Cache& cache) {
  if (file.empty()) return;
  try {
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    OutputFile out(file);
    out.Write(std::string(kCacheHeader) + '\n');
    for (const auto& [path, entry] : cache) {
      std::vector<std::string> fields = {path, std::to_string(entry.stamp.size), std::to_string(entry.stamp.modified),
                                         std::to_string(entry.stamp.changed), std::to_string(entry.stamp.inode)};
      if (entry.description.info) {
        fields.emplace_back("TEMPLATE");
        for (std::string& field : TemplateFields(*entry.description.info)) fields.push_back(std::move(field));
      } else {
        fields.emplace_back("BROKEN");
        fields.push_back(entry.description.failure);
      }
      out.Write(detail::EncodeLine(fields));
    }
    out.Commit();
  } catch (const HostError&) {
    // The next scan describes the libraries again.
  }
}

// ---- Describing out of process --------------------------------------------------------------

// Describes `libraries` in probes: one probe for all of them, and a new one for the rest
// after each library that takes its probe down or hangs.
std::map<std::string, Description> DescribeAll(const std::vector<std::string>& libraries, double timeoutSeconds) {
  using Clock = detail::ProbeProcess::Clock;
  const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
  std::map<std::string, Description> described;
  std::size_t next = 0;  // the first library not yet described
  while (next < libraries.size()) {
    std::vector<std::string> arguments = {"describe"};
    arguments.insert(arguments.end(), libraries.begin() + static_cast<std::ptrdiff_t>(next), libraries.end());
    detail::ProbeProcess probe(arguments);
    std::optional<std::string> current;
    auto deadline = Clock::now() + limit;
    while (const std::optional<std::string> line = probe.ReadLine(deadline)) {
      const std::vector<std::string> fields = detail::DecodeLine(*line);
      if (fields.size() < 2 || fields[1] != libraries[next]) continue;  // answers come in order
      if (fields[0] == "BEGIN") {
        current = fields[1];
        deadline = Clock::now() + limit;
      } else if (fields[0] == "TEMPLATE" || fields[0] == "BROKEN") {
        Description description;
        if (fields[0] == "TEMPLATE") description.info = TemplateFrom(fields[1], fields, 2);
        if (!description.info) description.failure = fields[0] == "BROKEN" && fields.size() == 3 ? fields[2] : "";
        if (!description.info && description.failure.empty()) description.failure = fields[1] + " gave no description";
        described[fields[1]] = std::move(description);
        current.reset();
        ++next;
      }
    }
    if (next == libraries.size()) break;
    // The probe stopped at libraries[next]: it hung, crashed, ended itself or never
    // started on it.
    const bool timedOut = probe.TimedOut();
    const detail::ProcessEnd end = probe.Finish();
    std::string reason = libraries[next];
    if (timedOut) {
      reason += " did not answer within " + FormatDouble(timeoutSeconds) + " s";
    } else if (end.signalled) {
      reason += " crashed the plug-in probe with " + end.Describe();
    } else {
      reason += " ended the plug-in probe (" + end.Describe() + ") while it was described";
    }
    if (const std::string message = probe.LastErrorLine(); !message.empty()) reason += "; it said: " + message;
    described[libraries[next]] = Description{std::nullopt, reason};
    ++next;
  }
  return described;
}

}  // namespace

fs::path DefaultScanCache() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
    return fs::path(cache) / "montage" / "plugin-scan";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return fs::path(home) / ".cache" / "montage" / "plugin-scan";
  }
  return {};
}

PluginCatalog PluginCatalog::Scan(const std::vector<fs::path>& directories, const ScanOptions& options) {
  const std::vector<fs::path> files = FindPluginFiles(directories);
  Cache cache = ReadCache(options.cacheFile);
  std::vector<std::string> unknown;
  std::vector<std::optional<FileStamp>> stamps;
  for (const fs::path& file : files) {
    stamps.push_back(StampOf(file));
    const auto cached = cache.find(file.string());
    if (!stamps.back() || cached == cache.end() || !(cached->second.stamp == *stamps.back())) {
      unknown.push_back(file.string());
    }
  }
  const std::map<std::string, Description> described = DescribeAll(unknown, options.timeoutSeconds);
  bool changed = false;
  if (cache.size() > kCacheEntries) {
    cache.clear();
    changed = true;
  }
  PluginCatalog catalog;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string key = files[i].string();
    const auto fresh = described.find(key);
    if (fresh != described.end() && stamps[i]) {
      cache[key] = CacheEntry{*stamps[i], fresh->second};
      changed = true;
    }
    const Description& description = fresh != described.end() ? fresh->second : cache.at(key).description;
    if (description.info) {
      catalog.templates_.push_back(*description.info);
      catalog.templates_.back().library = files[i];
    } else {
      catalog.failures_.push_back({files[i], description.failure});
    }
  }
  if (changed) WriteCache(options.cacheFile, cache);
  return catalog;
}

const TemplateInfo* PluginCatalog::Find(std::string_view name) const {
  const std::string wanted = ToLower(name);
  for (const TemplateInfo& info : templates_) {
    if (ToLower(info.name) == wanted) return &info;
  }
  return nullptr;
}

std::vector<std::string> PluginCatalog::Warnings() const {
  std::vector<std::string> warnings;
  for (std::size_t i = 0; i < templates_.size(); ++i) {
    const TemplateInfo* first = Find(templates_[i].name);
    if (first != &templates_[i]) {
      warnings.push_back("template " + templates_[i].name + " of " + templates_[i].library.string() +
                         " is hidden by the one of " + first->library.string());
    }
  }
  return warnings;
}

}  // namespace montage
