#pragma once
// Project files of a segment list: Trimora's own (JSON), the JSON5 "-proj.llc" files of
// LosslessCut, CSV (Start,End,Name), MPlayer EDL (the ranges to remove) and, for writing only,
// YouTube chapter text.
//
// Which segments a format holds: "trimora" and "llc" every segment with its selection; "csv"
// every segment, without the selection; "edl" the ranges between the selected segments (what
// a player skips); "youtube" one chapter per selected segment, at the time it starts in the
// merged output, so the first is at 0:00 wherever the segment starts in the source.
#include <cstdint>
#include <string>
#include <vector>

#include "segments/SegmentList.h"

enum class TProjectFormat { Trimora, Llc, Csv, Edl, YouTube };

// The media file a project belongs to.
struct TProjectMedia {
  std::string FileName;  // its path: its name goes into the file, and no project is written on it
  int64_t Duration = 0;  // µs; 0 or less when unknown (EDL files and open ends need it)
};

// "trimora", "llc", "csv", "edl", "youtube".
const char* ProjectFormatName(TProjectFormat format);
// By name, any letter case.
bool ProjectFormatByName(const std::string& name, TProjectFormat* format);
// By the file's name: ".llc" (as "-proj.llc"), ".csv", ".edl", ".trimora" or ".json", ".txt"
// (YouTube chapters).
bool ProjectFormatOfPath(const std::string& path, TProjectFormat* format);
bool CanReadProjectFormat(TProjectFormat format);
// A project's usual name for a media file in a folder ("" for the media's own folder):
// "<stem>.trimora", "<stem>-proj.llc", "<stem>.csv", "<stem>.edl", "<stem>-chapters.txt".
std::string ProjectPathFor(const std::string& mediaPath, TProjectFormat format, const std::string& folder = "");

// Reads a project's text. False with "line N: what is wrong" (1-based line of the fault).
// *mediaName, when given, gets the media name the file names ("" when none).
bool ParseProjectText(const std::string& text, TProjectFormat format, const TProjectMedia& media,
                      std::vector<TSegment>* segments, std::string* err, std::string* mediaName = nullptr);
// Writes a project's text; false with a message when the format needs what is unknown.
bool MakeProjectText(const std::vector<TSegment>& segments, TProjectFormat format, const TProjectMedia& media,
                     std::string* text, std::string* err);

// Reads a project file into the list as one change that can be undone; on any fault the list
// stays as it was and *err says why ("line N: ..." for a fault in the text). *mediaName as
// ParseProjectText gives it, so a caller can tell a project of another file.
bool ReadProjectFile(const std::string& path, TProjectFormat format, const TProjectMedia& media, TSegmentList& list,
                     std::string* err, std::string* mediaName = nullptr);
// Writes through the safe-write path. An existing file is replaced only with replaceOwn (the
// autosave of the project's own file); never the media file or any of `inputs`.
bool WriteProjectFile(const std::string& path, TProjectFormat format, const TProjectMedia& media,
                      const std::vector<TSegment>& segments, bool replaceOwn, std::string* err,
                      const std::vector<std::string>& inputs = {});
