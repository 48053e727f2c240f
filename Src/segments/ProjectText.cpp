// The line-based formats: CSV (Start,End,Name), MPlayer EDL and YouTube chapter text.
#include <algorithm>
#include <cctype>

#include "segments/ProjectFormats.h"
#include "segments/SegmentTimes.h"

namespace project {
namespace {

bool Fail(std::string* err, int line, const std::string& what) {
  if (err) *err = LineError(line, what);
  return false;
}

std::string Trim(const std::string& s) {
  size_t a = 0, b = s.size();
  while (a < b && isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

const char* const kTimeForms = "seconds or [[H:]M:]S[.fff]";

struct TCsvRecord {
  std::vector<std::string> Fields;
  int Line = 1;
};

// One field from `pos` on; a quoted one may hold commas, doubled quotes and line breaks.
bool ReadCsvField(const std::string& text, size_t& pos, int& line, std::string* field, std::string* err) {
  size_t from = pos;
  while (from < text.size() && (text[from] == ' ' || text[from] == '\t')) ++from;
  if (from >= text.size() || text[from] != '"') {
    const size_t end = text.find_first_of(",\n", pos);
    *field = Trim(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end == std::string::npos ? text.size() : end;
    return true;
  }
  const int startLine = line;
  field->clear();
  for (pos = from + 1;; ++pos) {
    if (pos >= text.size()) return Fail(err, startLine, "a quoted field that is never closed");
    if (text[pos] == '"' && pos + 1 < text.size() && text[pos + 1] == '"') {
      *field += '"';
      ++pos;
    } else if (text[pos] == '"') {
      break;
    } else {
      if (text[pos] == '\n') ++line;
      *field += text[pos];
    }
  }
  ++pos;
  while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
  if (pos < text.size() && text[pos] != ',' && text[pos] != '\n')
    return Fail(err, line, "text after the closing quote of a field");
  return true;
}

bool SplitCsv(const std::string& text, std::vector<TCsvRecord>* records, std::string* err) {
  size_t pos = 0;
  int line = 1;
  while (pos < text.size()) {
    TCsvRecord record;
    record.Line = line;
    while (true) {
      std::string field;
      if (!ReadCsvField(text, pos, line, &field, err)) return false;
      record.Fields.push_back(std::move(field));
      if (pos >= text.size() || text[pos] == '\n') break;
      ++pos;  // the comma
    }
    ++pos;
    ++line;
    const bool blank = record.Fields.size() == 1 && record.Fields[0].empty();
    if (!blank) records->push_back(std::move(record));
  }
  return true;
}

bool CsvTime(const std::string& field, int line, const char* what, int64_t* us, std::string* err) {
  if (ParseTimeText(field, us)) return true;
  return Fail(err, line, std::string("the ") + what + " '" + field + "' is not a time (" + kTimeForms + ")");
}

bool CsvRow(const TCsvRecord& r, const TProjectMedia& media, TReadSegment* out, std::string* err) {
  if (r.Fields.size() > 3)
    return Fail(err, r.Line, "expected Start,End,Name, found " + std::to_string(r.Fields.size()) + " fields");
  TSegment& s = out->Segment;
  out->Line = r.Line;
  if (!CsvTime(r.Fields[0], r.Line, "start", &s.Start, err)) return false;
  const std::string end = r.Fields.size() > 1 ? r.Fields[1] : std::string();
  if (end.empty() && media.Duration <= 0)
    return Fail(err, r.Line, "a segment without an end needs the length of the media, which is not known");
  if (end.empty()) s.End = media.Duration;
  else if (!CsvTime(end, r.Line, "end", &s.End, err)) return false;
  if (r.Fields.size() > 2) s.Label = r.Fields[2];
  return true;
}

std::string CsvField(const std::string& s) {
  const bool quote = s.find_first_of(",\"\r\n") != std::string::npos || Trim(s) != s;
  if (!quote) return s;
  std::string out = "\"";
  for (const char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

// An EDL row "START END ACTION": fields apart by spaces or tabs.
std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (true) {
    pos = line.find_first_not_of(" \t", pos);
    if (pos == std::string::npos) return words;
    const size_t end = line.find_first_of(" \t", pos);
    words.push_back(line.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
    pos = end;
  }
}

// A removal row of an EDL; a mute row ("1") removes nothing and gives false in *remove.
bool EdlRow(const std::string& text, int line, TReadSegment* out, bool* remove, std::string* err) {
  const std::vector<std::string> words = Words(text);
  if (words.size() != 3) return Fail(err, line, "expected 'START END ACTION', found '" + text + "'");
  TSegment& s = out->Segment;
  out->Line = line;
  if (!CsvTime(words[0], line, "start", &s.Start, err) || !CsvTime(words[1], line, "end", &s.End, err)) return false;
  if (words[2] != "0" && words[2] != "1")
    return Fail(err, line, "the action '" + words[2] + "' is neither 0 (skip) nor 1 (mute)");
  if (s.End <= s.Start) return Fail(err, line, "the range ends before it starts");
  *remove = words[2] == "0";
  return true;
}

}  // namespace

bool ParseCsv(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out, std::string* err) {
  std::vector<TCsvRecord> records;
  if (!SplitCsv(text, &records, err)) return false;
  // A first row whose start is a word like "Start" is a header.
  if (!records.empty() && Lower(records[0].Fields[0]).rfind("start", 0) == 0) records.erase(records.begin());
  std::vector<TReadSegment> segments(records.size());
  for (size_t i = 0; i < records.size(); ++i)
    if (!CsvRow(records[i], media, &segments[i], err)) return false;
  *out = std::move(segments);
  return true;
}

bool ParseEdl(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out, std::string* err) {
  std::vector<TReadSegment> removed;
  int line = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    const std::string row = Trim(text.substr(pos, nl - pos));
    pos = nl + 1;
    ++line;
    if (row.empty() || row[0] == '#') continue;
    TReadSegment r;
    bool remove = false;
    if (!EdlRow(row, line, &r, &remove, err)) return false;
    if (remove) removed.push_back(r);
  }
  if (media.Duration <= 0) {
    if (err) *err = "The length of the media is not known, and an EDL file names only what to remove";
    return false;
  }
  std::sort(removed.begin(), removed.end(),
            [](const TReadSegment& a, const TReadSegment& b) { return a.Segment.Start < b.Segment.Start; });
  for (size_t i = 1; i < removed.size(); ++i)
    if (removed[i].Segment.Start < removed[i - 1].Segment.End)
      return Fail(err, removed[i].Line, "the range overlaps the one on line " + std::to_string(removed[i - 1].Line));
  std::vector<TSegment> ranges;
  for (const TReadSegment& r : removed) ranges.push_back(r.Segment);
  out->clear();
  for (const TSegment& kept : TSegmentList::Inverse(ranges, media.Duration)) out->push_back({kept, 1});
  return true;
}

std::string CsvText(const std::vector<TSegment>& segments) {
  std::string text;
  for (const TSegment& s : segments)
    text += SecondsValueText(s.Start) + "," + SecondsValueText(s.End) + "," + CsvField(s.Label) + "\n";
  return text;
}

bool EdlText(const std::vector<TSegment>& segments, const TProjectMedia& media, std::string* text, std::string* err) {
  if (media.Duration <= 0) {
    if (err) *err = "The length of the media is not known, and an EDL file names what to remove up to its end";
    return false;
  }
  std::vector<TSegment> selected;
  std::copy_if(segments.begin(), segments.end(), std::back_inserter(selected), [](const TSegment& s) { return s.Selected; });
  text->clear();
  for (const TSegment& r : TSegmentList::Inverse(selected, media.Duration))
    *text += SecondsValueText(r.Start) + " " + SecondsValueText(r.End) + " 0\n";
  return true;
}

std::string YouTubeText(const std::vector<TSegment>& segments) {
  std::string text;
  int64_t at = 0;
  int number = 0;
  for (const TSegment& s : segments) {
    if (!s.Selected) continue;
    ++number;
    std::string label = s.Label;
    std::replace(label.begin(), label.end(), '\n', ' ');
    text += ChapterTimeText(at) + " " + (label.empty() ? "Segment " + std::to_string(number) : label) + "\n";
    at += s.End - s.Start;
  }
  return text;
}

}  // namespace project
