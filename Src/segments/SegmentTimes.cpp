#include "segments/SegmentTimes.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

std::string SegmentTimeText(int64_t us) {
  const bool negative = us < 0;
  const int64_t ms = ((negative ? -us : us) + 500) / 1000;
  char buf[64];
  snprintf(buf, sizeof buf, "%s%" PRId64 ":%02d:%02d.%03d", negative ? "-" : "", ms / 3600000,
           static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60), static_cast<int>(ms % 1000));
  return buf;
}

std::string SecondsValueText(int64_t us) {
  const bool negative = us < 0;
  const uint64_t mag = negative ? 0 - static_cast<uint64_t>(us) : static_cast<uint64_t>(us);
  std::string text = (negative ? "-" : "") + std::to_string(mag / 1000000);
  if (const uint64_t frac = mag % 1000000) {
    char buf[16];
    snprintf(buf, sizeof buf, ".%06" PRIu64, frac);
    std::string f = buf;
    while (f.back() == '0') f.pop_back();
    text += f;
  }
  return text;
}

std::string ChapterTimeText(int64_t us) {
  const int64_t s = us > 0 ? us / 1000000 : 0;
  char buf[48];
  if (s < 3600)
    snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(s / 60), static_cast<int>(s % 60));
  else
    snprintf(buf, sizeof buf, "%" PRId64 ":%02d:%02d", s / 3600, static_cast<int>(s / 60 % 60),
             static_cast<int>(s % 60));
  return buf;
}

namespace {

// "S[.fff]" to microseconds; digits only, at most 9 before the point (hours of that still fit).
bool ParseSecondsField(const std::string& text, int64_t* us) {
  const size_t dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  if (whole.empty() && frac.empty()) return false;
  if (whole.size() > 9) return false;
  for (const std::string* part : {&whole, &frac})
    if (part->find_first_not_of("0123456789") != std::string::npos) return false;
  int64_t value = whole.empty() ? 0 : std::stoll(whole) * 1000000;
  int64_t scale = 100000;
  for (size_t i = 0; i < frac.size() && i < 6; ++i, scale /= 10) value += (frac[i] - '0') * scale;
  if (frac.size() > 6 && frac[6] >= '5') ++value;
  *us = value;
  return true;
}

}  // namespace

bool ParseTimeText(const std::string& text, int64_t* us) {
  std::vector<std::string> fields;
  size_t from = 0;
  for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1)
    fields.push_back(text.substr(from, colon - from));
  fields.push_back(text.substr(from));
  if (fields.size() > 3) return false;
  // Seconds, minutes, hours from the right; only the seconds may have a fraction, and every
  // field after the first stays below 60.
  int64_t sum = 0, unit = 1;
  for (size_t i = fields.size(); i-- > 0; unit *= 60) {
    int64_t value = 0;
    if (i + 1 < fields.size() && fields[i].find('.') != std::string::npos) return false;
    if (!ParseSecondsField(fields[i], &value)) return false;
    if (i > 0 && value >= 60000000) return false;
    sum += value * unit;
  }
  *us = sum;
  return true;
}
