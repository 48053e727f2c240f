#pragma once
// The frame-exact copy as a task of the encoder component: the same progress, pause, resume,
// stop and termination events as any other task, so the window's job control and the command
// line's runner work unchanged.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "job/ExactCopy.h"

class TFFEncoder;

// In place of SetOutput, after AddTask: the task's transcode phase becomes the frame-exact
// copy of its input into fileName. Returns 0, or -1 with the encoder's LastErrMsg-style text
// in *error (a refused output name, a codec that cannot be cut exactly). `planned`: the
// exact plan of the same input and options when the caller has made it already.
int SetExactCopyOutput(TFFEncoder& encoder, int taskIndex, const std::string& fileName,
                       const TExactCopyOptions& options, std::string* error = nullptr,
                       const TExactCopyPlan* planned = nullptr);

// A copy job that the task runs in its transcode phase: Run writes the outputs with the host's
// events; Duration is the length the progress counts up to (µs).
struct TCopyRun {
  std::function<bool(const TExactCopyHost& host, std::string* error)> Run;
  int64_t Duration = 0;
};
// Makes the run for the task's one input; an empty Run with *error when it cannot.
using TMakeCopyRun = std::function<TCopyRun(const std::string& input, std::string* error)>;

// In place of SetOutput: the task's transcode phase becomes the run `make` gives, writing
// fileNames, each checked as SetOutput checks its output first. Returns 0 or -1 with *error.
int SetCopyRunOutput(TFFEncoder& encoder, int taskIndex, const std::vector<std::string>& fileNames,
                     const TMakeCopyRun& make, std::string* error);
