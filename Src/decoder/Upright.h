#pragma once
// Recordings whose stream carries a display matrix (phones write one instead of turning the
// pictures) are shown the way the matrix says: the decoded picture is turned and mirrored by
// whole pixels, so it is the same picture the ffmpeg tool gives with its automatic rotation.
#include <memory>
#include <string>
#include <vector>

#include "runtime/FFOwners.h"

struct AVStream;
class TVideoFilterChain;

struct TUprightStep {
  std::string Filter;  // "transpose", "hflip" or "vflip"
  std::string Args;    // "clock", ... for transpose
};
// The steps that make the stream's pictures upright, in order; none when they are upright
// already or the matrix is no quarter turn.
std::vector<TUprightStep> UprightSteps(const AVStream* st);
// The same as a filter text: the library filters that make the stream's pictures upright ("transpose=clock", "hflip,vflip",
// ...), empty when they are upright already or the matrix is no quarter turn.
std::string UprightFilters(const AVStream* st);
// Degrees the picture is turned clockwise to be upright (0, 90, 180 or 270).
int UprightDegrees(const AVStream* st);
// Whether the matrix also mirrors the picture (it is shown turned and flipped).
bool UprightMirrored(const AVStream* st);

class TUprightTurner {
public:
  TUprightTurner();
  ~TUprightTurner();

  // Filters from UprightFilters; empty leaves every picture as it is.
  void SetFilters(const std::string& filters);
  bool Active() const { return !FFilters.empty(); }
  // Replaces the frame by the turned one (properties kept). False when the filters failed;
  // the frame is then left as it was.
  bool Turn(TFramePtr& frame);
  void Reset();

private:
  bool Build(const AVFrame* frame);

  std::string FFilters;
  std::unique_ptr<TVideoFilterChain> FChain;
  int FWidth = -1;
  int FHeight = -1;
  int FFormat = -1;
};
