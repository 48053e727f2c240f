#pragma once
// Chapters of a merged output: one per range, from where it starts to where the next does.
// Private to the job layer.
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

// Appends a chapter to the output before its header is written; throws std::bad_alloc.
void AddChapter(AVFormatContext* oc, int64_t id, AVRational timeBase, int64_t start, int64_t end,
                const std::string& title);

// Copies input's streams into output (through the safe-write path, never onto one of
// sources) with one chapter per title: title k from bounds[k] to bounds[k + 1] (µs).
bool CopyWithChapters(const std::string& input, const std::string& output, const std::vector<int64_t>& bounds,
                      const std::vector<std::string>& titles, const std::vector<std::string>& sources,
                      std::string* error);
