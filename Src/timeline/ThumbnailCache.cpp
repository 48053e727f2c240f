#include <algorithm>
#include <list>
#include <mutex>

#include "timeline/ThumbnailParts.h"

void TSpanSet::Add(int64_t from, int64_t to) {
  if (to <= from) return;
  std::vector<std::pair<int64_t, int64_t>> merged;
  for (const auto& s : FSpans) {
    if (s.second < from || s.first > to) {
      merged.push_back(s);
    } else {
      from = std::min(from, s.first);
      to = std::max(to, s.second);
    }
  }
  merged.emplace_back(from, to);
  std::sort(merged.begin(), merged.end());
  FSpans = std::move(merged);
}

void TSpanSet::AddAll(const TSpanSet& other) {
  for (const auto& s : other.FSpans) Add(s.first, s.second);
}

bool TSpanSet::Covers(int64_t from, int64_t to) const {
  for (const auto& s : FSpans)
    if (s.first <= from && to <= s.second) return true;
  return false;
}

namespace {

// A few files at most: a host browses one file at a time, and a long one holds megabytes.
constexpr size_t kFilesKept = 4;

struct TCache {
  std::mutex Lock;
  std::list<std::pair<std::string, TFileThumbnails>> Files;  // most recently used first

  std::list<std::pair<std::string, TFileThumbnails>>::iterator Find(const std::string& key) {
    auto it = std::find_if(Files.begin(), Files.end(), [&](const auto& f) { return f.first == key; });
    if (it != Files.end()) Files.splice(Files.begin(), Files, it);
    return it == Files.end() ? it : Files.begin();
  }
};

TCache& Cache() {
  static TCache cache;
  return cache;
}

}  // namespace

namespace ThumbnailCache {

bool Get(const std::string& key, TFileThumbnails* out) {
  if (key.empty()) return false;
  TCache& c = Cache();
  std::lock_guard<std::mutex> guard(c.Lock);
  auto it = c.Find(key);
  if (it == c.Files.end()) return false;
  *out = it->second;
  return true;
}

void Merge(const std::string& key, const TFileThumbnails& more) {
  if (key.empty()) return;
  TCache& c = Cache();
  std::lock_guard<std::mutex> guard(c.Lock);
  auto it = c.Find(key);
  if (it == c.Files.end()) {
    c.Files.emplace_front(key, TFileThumbnails());
    it = c.Files.begin();
    if (c.Files.size() > kFilesKept) c.Files.pop_back();
  }
  TFileThumbnails& f = it->second;
  for (const auto& p : more.Pictures) f.Pictures.insert(p);
  if (more.Duration >= 0) f.Duration = more.Duration;
  f.Known.AddAll(more.Known);
}

void Clear() {
  TCache& c = Cache();
  std::lock_guard<std::mutex> guard(c.Lock);
  c.Files.clear();
}

}  // namespace ThumbnailCache

void ClearThumbnailCache() { ThumbnailCache::Clear(); }
