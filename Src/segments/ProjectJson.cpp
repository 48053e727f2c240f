// Trimora's own project file and LosslessCut's "-proj.llc": both JSON objects holding a list of
// {start, end, name, selected} objects with times in seconds.
#include <cmath>

#include "segments/Json5.h"
#include "segments/ProjectFormats.h"
#include "segments/SegmentTimes.h"

namespace project {
namespace {

using TKind = TJsonValue::TKind;

// The keys that differ between the two formats.
struct TJsonLayout {
  const char* What;      // for messages
  const char* MediaKey;
  const char* ListKey;
  int Version;           // the one written
  bool Own;              // ours: a version is required and no newer one is read; every
                         // segment has an end (LosslessCut leaves it out for "to the end")
};

const TJsonLayout kTrimora{"a Trimora project", "media", "segments", 1, true};
const TJsonLayout kLlc{"a LosslessCut project", "mediaFileName", "cutSegments", 2, false};

bool Fail(std::string* err, int line, const std::string& what) {
  if (err) *err = LineError(line, what);
  return false;
}

// Seconds as a value to microseconds: from 0 on, below a billion seconds.
bool SecondsOf(const TJsonValue& v, const char* key, int64_t* us, std::string* err) {
  if (v.Kind != TKind::Number || !(v.Number >= 0) || v.Number > 1e9)
    return Fail(err, v.Line, std::string("'") + key + "' must be a number of seconds from 0 on");
  *us = llround(v.Number * 1000000.0);
  return true;
}

bool ReadSegment(const TJsonValue& v, const TJsonLayout& layout, const TProjectMedia& media, TReadSegment* out,
                 std::string* err) {
  out->Line = v.Line;
  if (v.Kind != TKind::Object) return Fail(err, v.Line, std::string("each item of '") + layout.ListKey + "' must be an object");
  TSegment& s = out->Segment;
  const TJsonValue* start = v.Find("start");
  const TJsonValue* end = v.Find("end");
  if (!start || start->Kind == TKind::Null) return Fail(err, v.Line, "a segment without 'start'");
  if (!SecondsOf(*start, "start", &s.Start, err)) return false;
  if (end && end->Kind != TKind::Null) {
    if (!SecondsOf(*end, "end", &s.End, err)) return false;
  } else if (layout.Own) {
    return Fail(err, v.Line, "a segment without 'end'");
  } else if (media.Duration > 0) {
    s.End = media.Duration;
  } else {
    return Fail(err, v.Line, "a segment without 'end' needs the length of the media, which is not known");
  }
  if (const TJsonValue* name = v.Find("name"); name && name->Kind != TKind::Null) {
    if (name->Kind != TKind::String) return Fail(err, name->Line, "'name' must be a text");
    s.Label = name->String;
  }
  if (const TJsonValue* selected = v.Find("selected"); selected && selected->Kind != TKind::Null) {
    if (selected->Kind != TKind::Bool) return Fail(err, selected->Line, "'selected' must be true or false");
    s.Selected = selected->Bool;
  }
  return true;
}

bool CheckVersion(const TJsonValue& root, const TJsonLayout& layout, std::string* err) {
  const TJsonValue* version = root.Find("version");
  if (!version) return !layout.Own || Fail(err, root.Line, std::string("not ") + layout.What + ": no 'version'");
  if (version->Kind != TKind::Number) return Fail(err, version->Line, "'version' must be a number");
  if (layout.Own && version->Number > layout.Version)
    return Fail(err, version->Line, "version " + std::to_string(llround(version->Number)) +
                                         " of the project file is newer than this program reads");
  return true;
}

bool ParseJsonProject(const std::string& text, const TJsonLayout& layout, const TProjectMedia& media,
                      std::vector<TReadSegment>* out, std::string* err, std::string* mediaName) {
  TJsonValue root;
  if (!ParseJson5(text, &root, err)) return false;
  if (root.Kind != TKind::Object) return Fail(err, root.Line, std::string("not ") + layout.What + ": expected an object");
  if (!CheckVersion(root, layout, err)) return false;
  const TJsonValue* list = root.Find(layout.ListKey);
  if (!list) return Fail(err, root.Line, std::string("not ") + layout.What + ": no '" + layout.ListKey + "' list");
  if (list->Kind != TKind::Array) return Fail(err, list->Line, std::string("'") + layout.ListKey + "' must be a list");
  std::vector<TReadSegment> segments(list->Items.size());
  for (size_t i = 0; i < segments.size(); ++i)
    if (!ReadSegment(list->Items[i], layout, media, &segments[i], err)) return false;
  std::string name;
  if (const TJsonValue* m = root.Find(layout.MediaKey); m && m->Kind == TKind::String) name = m->String;
  *out = std::move(segments);
  if (mediaName) *mediaName = name;
  return true;
}

std::string JsonProjectText(const std::vector<TSegment>& segments, const TJsonLayout& layout,
                            const TProjectMedia& media) {
  std::string text = "{\n  \"version\": " + std::to_string(layout.Version) + ",\n  " + JsonQuote(layout.MediaKey) +
                     ": " + JsonQuote(BaseName(media.FileName)) + ",\n  " + JsonQuote(layout.ListKey) + ": [";
  for (size_t i = 0; i < segments.size(); ++i) {
    const TSegment& s = segments[i];
    text += std::string(i ? "," : "") + "\n    {\"start\": " + SecondsValueText(s.Start) +
            ", \"end\": " + SecondsValueText(s.End) + ", \"name\": " + JsonQuote(s.Label) +
            ", \"selected\": " + (s.Selected ? "true" : "false") + "}";
  }
  return text + (segments.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace

bool ParseTrimora(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out,
                  std::string* err, std::string* mediaName) {
  return ParseJsonProject(text, kTrimora, media, out, err, mediaName);
}

bool ParseLlc(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out, std::string* err,
              std::string* mediaName) {
  return ParseJsonProject(text, kLlc, media, out, err, mediaName);
}

std::string TrimoraText(const std::vector<TSegment>& segments, const TProjectMedia& media) {
  return JsonProjectText(segments, kTrimora, media);
}

std::string LlcText(const std::vector<TSegment>& segments, const TProjectMedia& media) {
  return JsonProjectText(segments, kLlc, media);
}

}  // namespace project
