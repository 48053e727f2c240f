#pragma once
// What is written into the log after a file was opened: the size and duration of the file and
// one block per video or audio stream. Shared by the window and the command line.
#include <cstdint>
#include <string>
#include <vector>

class TCustomDecoder;

// Microseconds as "%.2d:%.2d:%.2d.%.3d", truncating, hours not wrapped.
std::string FormatPTS(int64_t us);

// "File Size: %d", "File Duration: %s" (or "File Duration is not preseted"), then per stream
// "Stream #%d: Video" / "Stream #%d: Audio" and its indented lines.
std::vector<std::string> FileInfoLines(TCustomDecoder& decoder);
