#pragma once
// The cut job as the window and the command line hand it to the encoder: the user's choices
// become one option text for the output and the suffix of the output name, and the output
// name is found in the output folder. No GUI here: the window, trimora-cli and the tests all
// call these functions.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class TFFDecoder;

struct TCutChoices {
  std::string FileName;  // the input, as opened

  // Points in µs on the video stream's clock (picture times); 0 and 0 when none are set.
  int64_t TrimStart = 0;
  int64_t TrimEnd = 0;
  int64_t Duration = 0;  // of the file, µs

  // The track bar's selection. When it is not the one the point buttons made (the points do
  // not account for it), the points are taken from it as the track bar positions give them.
  int SelStart = 0;
  int SelEnd = 0;
  int TrackMax = 0;
  bool SelectionFromPoints = true;

  // How far the video stream starts after the file's start (µs): the engine's -ss counts
  // from the file's start, the points from the first picture.
  int64_t VideoStartOffset = 0;
  int64_t VideoStartOffsetWithoutAudio = 0;  // the same when the cut has no sound

  int FormatIndex = 0;     // entry of the format list, -1 when nothing is selected
  int FrameSizeIndex = 0;  // entry of that format's frame-size list, -1 when none
  bool QualityChecked = false;
  int QualityIndex = 0;
  bool RemoveAudio = false;

  int64_t AudioBitRate = 0;  // of the input's default streams, bit/s; <= 0 when unknown
  int64_t VideoBitRate = 0;
  // What the encoders are fitted to (0 or -1 when unknown: then nothing is fitted).
  int AudioSampleRate = 0;
  int AudioChannels = 0;
  int AudioSampleFormat = -1;
  int VideoWidth = 0;
  int VideoHeight = 0;
  int VideoPixelFormat = -1;
  int FrameRateNum = 0;
  int FrameRateDen = 1;
  bool HasVideo = true;
  // Set only for a file with several video streams (a phone's motion photo carries its stills
  // beside the video): the engine would take the largest picture, not the one shown. -1: none.
  int MapVideoStream = -1;
  int MapAudioStream = -1;
  // A subtitle stream without a decoder here: the engine would pick it and fail to read it.
  bool DropSubtitles = false;
  // The sound stream has no decoder here and no codec a container could name: it can be
  // neither copied nor encoded, so the cut goes without it (and says so).
  bool AudioUnreadable = false;
  int AudioCodecId = 0;  // of the sound the copy keeps (AVCodecID), 0 when none
  std::string InputFormatName;  // the demuxer's names, for a copy whose suffix names no muxer
  int ProcessorCount = 1;
  bool HasLibfaac = false;
};

struct TCutJob {
  std::string Options;  // option text of the output
  std::string Suffix;   // end of the output file name
  bool StreamCopy = false;  // the preview is switched off for a copy
  int64_t TrimStart = 0;    // the points the text was made from
  int64_t TrimEnd = 0;
  std::vector<std::string> Notes;  // each value changed to one the encoder takes
};

// Appends one blank, then the item.
void AddOption(std::string& text, const std::string& item);
// x µs as seconds: shortest general form, at most 15 significant digits, full stop.
std::string SecondsText(int64_t us);
// "libfaac" when this build has an encoder of that name, else "aac".
std::string PickAacEncoder();
int GetProcessorCount();

TCutJob BuildCutJob(const TCutChoices& c);

// Where the video stream starts after the point the engine counts -ss from, µs (0 when unknown).
// withAudio: the job keeps the sound (in MPEG-TS and PS the engine's start depends on it).
int64_t VideoStartOffset(TFFDecoder& dec, bool withAudio);
// The choices that come from the open file: bit rates of the default streams (left out when
// the file's bytes cannot back them), duration, video start offset, processor count and the
// AAC encoder.
void FillInputChoices(TFFDecoder& dec, TCutChoices& c);

// The folder a job falls back on when the chosen one cannot be made, and the default of
// "OutPutDir": $HOME/clipvanefree, which the user can always create (a folder at the root
// needs privileges, so a fallback there would fail every job until a restart).
std::string DefaultOutputDir();

// The settings that the output name uses ("OutPutDir" of group "settings") and the warning
// box, as the host provides them.
struct TOutputNameHost {
  std::function<std::string(const std::string& key, const std::string& defaultValue)> ReadString;
  std::function<void(const std::string& key, const std::string& value)> WriteString;
  std::function<void(const std::string& caption, const std::string& text)> Warning;
  std::string DefaultDir = DefaultOutputDir();  // also the default of "OutPutDir"
};

// The output file for a source and a suffix: folder/name_(new)suffix, or _(new_N) for the first
// N that is free. A folder that cannot be created is warned about and replaced by the default
// one for later jobs; this job's name stays in the folder read.
std::string MakeOutputFileName(const std::string& source, const std::string& suffix, const TOutputNameHost& host);

// The muxer for a copy into outputName when its suffix names none (".ps", ".m2v"...): the first
// of the input's format names ("mpeg", "matroska,webm") that is also a muxer. Empty when the
// suffix is enough or nothing fits.
std::string CopyContainerName(const std::string& outputName, const std::string& inputFormatNames);

// The entry text given to the engine as a size: up to its first blank, or whole.
std::string FrameSizeOfEntry(const std::string& entry);
