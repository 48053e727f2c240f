#pragma once
// Frame-exact copy of a range of a file: the output holds exactly the source's pictures whose
// times lie in [start, end), with the source's timing (the first at 0). The pictures from the
// first key frame of the range up to the last one are the source's packets, untouched; only
// the pictures before that first key frame and from that last key frame on are decoded and
// encoded again. Audio is copied for the same range. Qt-free: the encoder runs it as a task's
// transcode phase, and trimora-cli and the tests call it directly.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct TExactCopyOptions {
  // Points in µs on the video stream's clock (picture times, as the decoder gives them).
  // End 0 (or below start) means to the end of the file.
  int64_t Start = 0;
  int64_t End = 0;
  bool RemoveAudio = false;
};

// What the job will do, found by reading the packets of the range (never decoding).
struct TExactCopyPlan {
  bool Exact = false;   // false: the codec or the file allows only the plain copy cut
  std::string Reason;   // why not, for the log and the message
  std::string CodecName;
  int HeadPictures = 0;    // encoded again, before the first copied key frame
  int CopiedPictures = 0;  // the source's packets
  int TailPictures = 0;    // encoded again, after the copied part
  // Picture times (µs, video clock) of each part: [first, last]; -1 when the part is empty.
  int64_t HeadFirst = -1, HeadLast = -1;
  int64_t CopyFirst = -1, CopyLast = -1;
  int64_t TailFirst = -1, TailLast = -1;
  int64_t Duration = 0;  // of the output, µs
};

struct TExactCopyProgress {
  int Pictures = 0;         // video pictures written
  int64_t Position = 0;     // µs of output written
  int64_t Duration = 0;     // µs the output will last
  int64_t Size = 0;         // bytes written
};

// What the job asks of the one running it; every call comes from the job's thread.
struct TExactCopyHost {
  std::function<bool()> StopRequested;  // a stop ends the job with a valid, shorter file
  std::function<void()> Gate;           // the pause point (the job holds no lock there)
  std::function<void(const TExactCopyProgress&)> Progress;
  std::function<void(int level, const std::string& line)> Log;  // levels of runtime/FFLog.h
  // Both encoded parts one after the other on the job's thread, as the environment variable
  // TRIMORA_EXACT_COPY_SEQUENTIAL asks too; else at the same time on two more threads. The
  // output is the same, byte for byte.
  bool Sequential = false;
};

// False with *error when the file cannot be read or the range holds no picture. A codec that
// cannot be cut exactly gives true with plan->Exact false and the reason.
bool PlanExactCopy(const std::string& input, const TExactCopyOptions& options,
                   TExactCopyPlan* plan, std::string* error);

// Runs the job: the output goes through the safe-write path (never onto the input, never over
// an existing file). Needs an exact plan. A stop leaves a valid file of what was done.
bool RunExactCopy(const std::string& input, const std::string& output,
                  const TExactCopyOptions& options, const TExactCopyHost& host,
                  TExactCopyPlan* plan, std::string* error);

// Several ranges of the file, in the order given, into one output whose times go on across
// each join: the pictures without a gap, the sound within half a packet of them. chapters:
// one title per range for a chapter each, or empty for none. plans gets each range's plan.
bool RunExactCopyRanges(const std::string& input, const std::string& output,
                        const std::vector<TExactCopyOptions>& ranges,
                        const std::vector<std::string>& chapters, const TExactCopyHost& host,
                        std::vector<TExactCopyPlan>* plans, std::string* error);

// The message that says why a range is copied the plain way instead.
std::string ExactCopyFallbackText(const TExactCopyPlan& plan);
