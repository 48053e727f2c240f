#include "segments/ProjectFile.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "runtime/SafeWrite.h"
#include "segments/ProjectFormats.h"
#include "segments/SegmentTimes.h"

namespace {

// Far beyond any list of segments; larger files are not read at all.
constexpr std::streamoff kMaxProjectBytes = 16 << 20;

struct TFormatName {
  TProjectFormat Format;
  const char* Name;
  const char* Ending;  // of ProjectPathFor's names
};

const TFormatName kFormats[] = {
    {TProjectFormat::Trimora, "trimora", ".trimora"}, {TProjectFormat::Llc, "llc", "-proj.llc"},
    {TProjectFormat::Csv, "csv", ".csv"},             {TProjectFormat::Edl, "edl", ".edl"},
    {TProjectFormat::YouTube, "youtube", "-chapters.txt"},
};

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Line ends as "\n" and no byte-order mark, whatever wrote the file.
std::string Normalized(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  const size_t from = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] != '\r') out += text[i];
    else if (i + 1 >= text.size() || text[i + 1] != '\n') out += '\n';  // an old Mac line end
  }
  return out;
}

bool ReadWhole(const std::string& path, std::string* text, std::string* err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (err) *err = "Cannot read " + path + ": " + strerror(errno);
    return false;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size > kMaxProjectBytes) {
    if (err) *err = path + ": too large for a project file";
    return false;
  }
  in.seekg(0);
  std::stringstream ss;
  ss << in.rdbuf();
  if (in.bad()) {
    if (err) *err = "Cannot read " + path;
    return false;
  }
  *text = ss.str();
  return true;
}

}  // namespace

namespace project {

std::string LineError(int line, const std::string& what) { return "line " + std::to_string(line) + ": " + what; }

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace project

const char* ProjectFormatName(TProjectFormat format) {
  for (const TFormatName& f : kFormats)
    if (f.Format == format) return f.Name;
  return "";
}

bool ProjectFormatByName(const std::string& name, TProjectFormat* format) {
  for (const TFormatName& f : kFormats)
    if (Lower(name) == f.Name) return *format = f.Format, true;
  return false;
}

bool ProjectFormatOfPath(const std::string& path, TProjectFormat* format) {
  const std::string name = Lower(project::BaseName(path));
  const struct {
    const char* Ending;
    TProjectFormat Format;
  } endings[] = {{".llc", TProjectFormat::Llc},         {".csv", TProjectFormat::Csv},
                 {".edl", TProjectFormat::Edl},         {".trimora", TProjectFormat::Trimora},
                 {".json", TProjectFormat::Trimora},    {".txt", TProjectFormat::YouTube}};
  for (const auto& e : endings)
    if (EndsWith(name, e.Ending) && name.size() > strlen(e.Ending)) return *format = e.Format, true;
  return false;
}

bool CanReadProjectFormat(TProjectFormat format) { return format != TProjectFormat::YouTube; }

std::string ProjectPathFor(const std::string& mediaPath, TProjectFormat format, const std::string& folder) {
  const size_t slash = mediaPath.rfind('/');
  std::string dir = folder.empty() ? (slash == std::string::npos ? std::string() : mediaPath.substr(0, slash + 1))
                                   : (EndsWith(folder, "/") ? folder : folder + "/");
  std::string stem = project::BaseName(mediaPath);
  const size_t dot = stem.rfind('.');
  if (dot != std::string::npos && dot > 0) stem.resize(dot);
  for (const TFormatName& f : kFormats)
    if (f.Format == format) return dir + stem + f.Ending;
  return dir + stem;
}

bool ParseProjectText(const std::string& text, TProjectFormat format, const TProjectMedia& media,
                      std::vector<TSegment>* segments, std::string* err, std::string* mediaName) {
  const std::string clean = Normalized(text);
  std::vector<project::TReadSegment> read;
  std::string name;
  bool ok = false;
  switch (format) {
    case TProjectFormat::Trimora: ok = project::ParseTrimora(clean, media, &read, err, &name); break;
    case TProjectFormat::Llc: ok = project::ParseLlc(clean, media, &read, err, &name); break;
    case TProjectFormat::Csv: ok = project::ParseCsv(clean, media, &read, err); break;
    case TProjectFormat::Edl: ok = project::ParseEdl(clean, media, &read, err); break;
    case TProjectFormat::YouTube:
      if (err) *err = "YouTube chapter text is written only, not read";
      return false;
  }
  if (!ok) return false;
  std::vector<TSegment> items;
  for (const project::TReadSegment& r : read) items.push_back(r.Segment);
  size_t bad = 0;
  std::string why;
  if (!TSegmentList::Check(items, &why, &bad)) {
    if (err) *err = project::LineError(read[bad].Line, why);
    return false;
  }
  // A segment past the end belongs to another file (or another cut of it).
  for (size_t i = 0; i < items.size() && media.Duration > 0; ++i)
    if (items[i].Start >= media.Duration) {
      if (err)
        *err = project::LineError(read[i].Line, "segment " + std::to_string(i + 1) + " starts at " +
                                                    SegmentTimeText(items[i].Start) + ", after the end of the media (" +
                                                    SegmentTimeText(media.Duration) + ")");
      return false;
    }
  *segments = std::move(items);
  if (mediaName) *mediaName = name;
  return true;
}

bool MakeProjectText(const std::vector<TSegment>& segments, TProjectFormat format, const TProjectMedia& media,
                     std::string* text, std::string* err) {
  switch (format) {
    case TProjectFormat::Trimora: *text = project::TrimoraText(segments, media); return true;
    case TProjectFormat::Llc: *text = project::LlcText(segments, media); return true;
    case TProjectFormat::Csv: *text = project::CsvText(segments); return true;
    case TProjectFormat::Edl: return project::EdlText(segments, media, text, err);
    case TProjectFormat::YouTube: *text = project::YouTubeText(segments); return true;
  }
  return false;
}

bool ReadProjectFile(const std::string& path, TProjectFormat format, const TProjectMedia& media, TSegmentList& list,
                     std::string* err, std::string* mediaName) {
  std::string text, name;
  std::vector<TSegment> segments;
  if (!ReadWhole(path, &text, err) || !ParseProjectText(text, format, media, &segments, err, &name) ||
      !list.Replace(std::move(segments), err))
    return false;
  if (mediaName) *mediaName = name;
  return true;
}

bool WriteProjectFile(const std::string& path, TProjectFormat format, const TProjectMedia& media,
                      const std::vector<TSegment>& segments, bool replaceOwn, std::string* err,
                      const std::vector<std::string>& inputs) {
  std::string text;
  if (!MakeProjectText(segments, format, media, &text, err)) return false;
  std::vector<std::string> all = inputs;
  if (!media.FileName.empty()) all.push_back(media.FileName);
  return SafeWriteFile(path, text.data(), text.size(), all, replaceOwn, err);
}
