#pragma once
// Time texts of segments and project files. Times are microseconds.
#include <cstdint>
#include <string>

// "H:MM:SS.mmm", rounded to the millisecond, for messages and lists.
std::string SegmentTimeText(int64_t us);
// Seconds with up to six decimals and no exponent ("12.5", "0", "3.000001"): exact to the
// microsecond, and read back by every JSON or CSV reader.
std::string SecondsValueText(int64_t us);
// "M:SS" below an hour, else "H:MM:SS", whole seconds cut off (YouTube chapter times).
std::string ChapterTimeText(int64_t us);
// Seconds ("12.5") or a clock time "[[H:]M:]S[.fff]" (minutes and seconds below 60 after the
// first field) to microseconds, exact to six decimals (further digits are rounded). False for
// anything else, negative times included.
bool ParseTimeText(const std::string& text, int64_t* us);
