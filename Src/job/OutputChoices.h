#pragma once
// The entries of the output format, frame size and quality lists, in list order.
#include <array>

namespace OutputChoices {
inline constexpr std::array<const char*, 23> Formats = {
    "Copy - Original", "3GP", "AVI", "FLV", "iPod", "MKV", "MOV", "MP4",
    "OGG", "PSP", "RM10", "RM20", "SWF", "WMV", "WebM", "M1V",
    "M2V", "AAC", "AC3", "MP2", "MP3", "WAV", "WMA"};

inline constexpr std::array<const char*, 29> FrameSizes = {
    "Auto - Original", "128x96 - sqcif", "176x144 - qcif", "352x288 - cif",
    "704x576 - 4cif", "160x120 - qqvga", "320x240 - qvga", "640x480 - vga",
    "800x600 - svga", "1024x768 - xga", "1600x1200 - uxga", "2048x1536 - qxga",
    "1280x1024 - sxga", "2560x2048 - qsxga", "5120x4096 - hsxga", "852x480 - wvga",
    "1366x768 - wxga", "1600x1024 - wsxga", "1920x1200 - wuxga", "2560x1600 - woxga",
    "3200x2048 - wqsxga", "3840x2400 - wquxga", "6400x4096 - whsxga", "7680x4800 - whuxga",
    "320x200 - cga", "640x350 - ega", "852x480 - hd480", "1280x720 - hd720",
    "1920x1080 - hd1080"};

inline constexpr std::array<const char*, 4> FrameSizes3GP = {
    "128x96 - sqcif", "176x144 - qcif", "352x288 - cif", "704x576 - 4cif"};

inline constexpr std::array<const char*, 11> Qualities = {
    "0(Higest Quality)", "1", "2", "3", "4", "5", "6(Recommend)", "7", "8", "9",
    "10(Lowest Quality)"};

inline constexpr const char* LogLevels[8] = {"Quiet", "Panic", "Fatal", "Error",
                                             "Warning", "Info", "Verbose", "Debug"};
}  // namespace OutputChoices
