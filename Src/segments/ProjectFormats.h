#pragma once
// The readers and writers of each project format, behind ProjectFile.h.
#include <string>
#include <vector>

#include "segments/ProjectFile.h"

namespace project {

// A segment read from a file with the line it starts on.
struct TReadSegment {
  TSegment Segment;
  int Line = 1;
};

bool ParseTrimora(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out,
                  std::string* err, std::string* mediaName);
bool ParseLlc(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out, std::string* err,
              std::string* mediaName);
bool ParseCsv(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out, std::string* err);
bool ParseEdl(const std::string& text, const TProjectMedia& media, std::vector<TReadSegment>* out, std::string* err);

std::string TrimoraText(const std::vector<TSegment>& segments, const TProjectMedia& media);
std::string LlcText(const std::vector<TSegment>& segments, const TProjectMedia& media);
std::string CsvText(const std::vector<TSegment>& segments);
bool EdlText(const std::vector<TSegment>& segments, const TProjectMedia& media, std::string* text, std::string* err);
std::string YouTubeText(const std::vector<TSegment>& segments);

// "line N: what".
std::string LineError(int line, const std::string& what);
// The file name without its folder.
std::string BaseName(const std::string& path);

}  // namespace project
