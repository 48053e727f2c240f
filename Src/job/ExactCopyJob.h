#pragma once
// The frame-exact copy as a task of the encoder component: the same progress, pause, resume,
// stop and termination events as any other task, so the window's job control and the command
// line's runner work unchanged.
#include <string>

#include "job/ExactCopy.h"

class TFFEncoder;

// In place of SetOutput, after AddTask: the task's transcode phase becomes the frame-exact
// copy of its input into fileName. Returns 0, or -1 with the encoder's LastErrMsg-style text
// in *error (a refused output name, a codec that cannot be cut exactly). `planned`: the
// exact plan of the same input and options when the caller has made it already.
int SetExactCopyOutput(TFFEncoder& encoder, int taskIndex, const std::string& fileName,
                       const TExactCopyOptions& options, std::string* error = nullptr,
                       const TExactCopyPlan* planned = nullptr);
