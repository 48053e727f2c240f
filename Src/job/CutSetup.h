#pragma once
// One cut as the window and trimora-cli run it: the option text of the choices, and for the
// copy format the choice between the frame-exact copy and the plain copy, which then starts
// at the key frame at or before the start point so that its first picture is complete. Both
// hosts show the same lines and hand the task its output through SetCutOutput.
#include <cstdint>
#include <string>
#include <vector>

#include "job/CutJob.h"
#include "job/ExactCopy.h"

class TFFEncoder;

struct TCutSetup {
  TCutJob Job;  // Options: what a plain run is given (a plain copy from its key frame)
  bool Exact = false;  // the task runs as the frame-exact copy
  TExactCopyOptions ExactOptions;
  TExactCopyPlan Plan;         // when the frame-exact copy was asked for
  // The frame-exact copy was asked for, is not possible here, and the plain copy starts
  // before the start point (empty when it starts on that picture: nothing to tell).
  std::string FallbackReason;
  std::vector<std::string> Notes;  // for the log, in order
};

// exact: the user's "Frame-exact copy" (it applies to the copy format only). Reads the file
// (packets only) for the copy format; a file the plan cannot read gets the plain copy.
TCutSetup PrepareCut(const TCutChoices& c, bool exact);

// The time (µs, video clock) of the last key frame of the video stream at or before `us`,
// found from the packets without decoding. False when the file has none there.
bool KeyFrameAtOrBefore(const std::string& file, int64_t us, int64_t* key, std::string* error);

// The task's output as the setup says: the frame-exact copy, else SetOutput with the option
// text. Returns 0, or -1 with the message in *error (the task is left for the caller).
int SetCutOutput(TFFEncoder& encoder, int task, const std::string& outputName, const TCutSetup& setup,
                 std::string* error);
