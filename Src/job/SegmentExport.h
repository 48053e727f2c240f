#pragma once
// Several ranges of one file as one job: merged into one output whose times go on across the
// joins, or one output per range. Built on the single cut (CutSetup.h): each range is prepared
// as a cut of its own, and with no ranges the hosts keep to PrepareCut and SetCutOutput.
// The window and trimora-cli both call these functions.
#include <cstdint>
#include <string>
#include <vector>

#include "job/CutSetup.h"

struct TExportRange {
  int64_t Start = 0, End = 0;  // µs on the video stream's clock, like the points
  std::string Label;
};

struct TSegmentChoices {
  std::vector<TExportRange> Ranges;  // in output order
  bool Separate = false;             // one output per range, else one merged output
  bool Chapters = false;             // merged: one chapter per range
};

struct TSegmentSetup {
  TSegmentChoices Choices;
  std::vector<TCutSetup> Parts;  // each range as a cut of its own
  // Every part runs as the frame-exact copy; else each part is the engine's run of its
  // option text, and merged parts are joined by a copy.
  bool Exact = false;
  bool Chapters = false;  // chapters are written (merged, a container that carries them)
  std::vector<std::string> Notes;
};

// A chapter's title: the range's label, else "Segment N" (N from 1).
std::string SegmentTitle(const TExportRange& r, size_t index);

// The label as part of a file name: no '/', control characters or leading dots, at most 40
// bytes (cut at a character's start).
std::string SafeLabel(const std::string& label);

// Prepares every range with PrepareCut. The ranges' points are taken as they are.
TSegmentSetup PrepareSegments(const TCutChoices& c, const TSegmentChoices& s, bool exact);

// The output files: one merged, or one per range with its number (and label) before the
// suffix, each a free name by the output-name rule.
std::vector<std::string> SegmentOutputNames(const std::string& source, const TSegmentSetup& s,
                                            const TOutputNameHost& host);

// Gives the task (added for the source without input options) its outputs. Returns 0, or -1 with the
// message in *error.
int SetSegmentOutput(TFFEncoder& encoder, int task, const std::vector<std::string>& outputs,
                     const TSegmentSetup& s, std::string* error);

// One line per range of what it will run, for --dry-run and the log.
std::vector<std::string> SegmentPlanLines(const TSegmentSetup& s);
