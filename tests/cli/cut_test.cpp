// trimora-cli cut --dry-run: the same option text and output name as the builder gives for the
// window's choices, with the points snapped to pictures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "CliTestSupport.h"
#include "decoder/FFDecode.h"
#include "job/CutJob.h"
#include "job/OutputChoices.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

namespace fs = std::filesystem;

namespace {

TCliRun Shell(const std::string& cmd) { return RunShell(cmd); }

// The picture time the window's point button stores after the track bar reached `us`.
int64_t Snapped(const std::string& file, int64_t us) {
  TFFDecoder dec;
  EXPECT_TRUE(dec.LoadFile(file));
  EXPECT_TRUE(dec.Seek(us, 0));
  while (dec.Decode())
    if (dec.FramePTS() >= us) break;
  return dec.FramePTS();
}

uint64_t GetBE(const std::string& b, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}

void PutBE(std::string& b, size_t at, int bytes, uint64_t v) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) b[at + i] = static_cast<char>(v);
}

// Makes the movie, track and media headers of an MP4 claim `hours` (as far as a 32-bit field
// holds at the track's time scale). Returns how many headers were changed.
int ClaimHours(std::string& b, size_t from, size_t to, uint64_t hours, uint64_t& movieScale) {
  int patched = 0;
  while (from + 8 <= to) {
    const uint64_t size = GetBE(b, from, 4);
    if (size < 8 || from + size > to) break;
    const std::string type = b.substr(from + 4, 4);
    const size_t body = from + 8;
    const int wide = b[body] == 1 ? 8 : 4;  // version 1 has 64-bit times and durations
    const uint64_t most = wide == 8 ? UINT64_MAX : UINT32_MAX;
    if (type == "moov" || type == "trak" || type == "mdia") {
      patched += ClaimHours(b, body, from + size, hours, movieScale);
    } else if (type == "mvhd" || type == "mdhd") {
      const size_t scaleAt = body + 4 + 2 * wide;  // after version, flags, created, modified
      const uint64_t scale = GetBE(b, scaleAt, 4);
      if (type == "mvhd") movieScale = scale;
      PutBE(b, scaleAt + 4, wide, std::min(most, hours * 3600 * scale));
      ++patched;
    } else if (type == "tkhd") {
      PutBE(b, body + 4 + 2 * wide + 8, wide, std::min(most, hours * 3600 * movieScale));  // after id, reserved
      ++patched;
    }
    from += size;
  }
  return patched;
}

int ClaimHours(const std::string& path, uint64_t hours) {
  std::string bytes;
  {
    std::ifstream in(path, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  uint64_t movieScale = 1000;
  const int patched = ClaimHours(bytes, 0, bytes.size(), hours, movieScale);
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return patched;
}

class CliCut : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-clicut-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    File = FixturePath(FixtureKind::H264Mp4);
  }
  void TearDown() override { fs::remove_all(Dir); }

  // What the builder makes of the same choices.
  std::string Expected(int format, int size, int quality, bool removeAudio, int64_t start, int64_t end) {
    TFFDecoder dec;
    EXPECT_TRUE(dec.LoadFile(File));
    TCutChoices c;
    c.FileName = File;
    FillInputChoices(dec, c);
    c.Duration = dec.GetFileStreamInfo().Duration;
    c.FormatIndex = format;
    c.FrameSizeIndex = size;
    c.QualityChecked = quality >= 0;
    c.QualityIndex = quality < 0 ? 0 : quality;
    c.RemoveAudio = removeAudio;
    c.TrimStart = start > 0 ? Snapped(File, start) : 0;
    c.TrimEnd = end > 0 ? Snapped(File, end) : 0;
    const TCutJob job = BuildCutJob(c);
    TOutputNameHost host;
    host.ReadString = [this](const std::string&, const std::string&) { return Dir; };
    return "options: " + job.Options + "\noutput: " + MakeOutputFileName(File, job.Suffix, host) + "\n";
  }

  TCliRun Cut(const std::string& args) {
    return Shell(std::string(TRIMORA_CLI) + " cut '" + File + "' " + args + " --out-dir '" + Dir + "' --dry-run");
  }

  std::string Dir, File;
};

TEST_F(CliCut, DryRunMatchesTheBuilder) {
  struct TCase {
    std::string Args;
    int Format, Size, Quality;
    bool RemoveAudio;
    int64_t Start, End;
  };
  const std::vector<TCase> cases = {
      {"--format psp --start 1 --end 2.5 --quality 6", 9, 0, 6, false, 1000000, 2500000},
      {"--format 'copy - original' --start 0.48 --no-exact", 0, 0, -1, false, 480000, 0},
      {"--format 3gp --size 176x144", 1, 1, -1, false, 0, 0},
      {"--format MKV --size 7 --end 1.99 --remove-audio", 5, 7, -1, true, 0, 1990000},
      {"--format 14 --size '640x480 - vga' --quality 0 --start 0.97 --end 2.01", 14, 7, 0, false, 970000, 2010000},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args);
    TCliRun r = Cut(c.Args);
    EXPECT_EQ(r.Code, 0);
    EXPECT_EQ(r.Out, Expected(c.Format, c.Size, c.Quality, c.RemoveAudio, c.Start, c.End));
  }
  // Points between pictures snap to the picture the decoder lands on: 0.97 s is frame 25.
  TCliRun r = Cut("--format mp4 --start 0.97 --end 2.01");
  EXPECT_EQ(r.Out.rfind("options:   -ss 1  -t 1.04", 0), 0u) << r.Out;
  EXPECT_NE(r.Out.find("output: " + Dir + "/g3-h264_(new).mp4\n"), std::string::npos) << r.Out;
}

// Real cuts: the named file holds the range, starting on the chosen picture (a copy is
// frame-exact by default).
TEST_F(CliCut, PspAndCopyCutsWriteTheNamedFile) {
  struct TCase {
    std::string Format, Output;
    int FirstFrame, Pictures;
  };
  for (const TCase& c :
       {TCase{"psp", "g3-h264_(new)_psp.mp4", 25, 15}, TCase{"copy - original", "g3-h264_(new).mp4", 25, 25}}) {
    SCOPED_TRACE(c.Format);
    TCliRun r = Shell(std::string(TRIMORA_CLI) + " cut '" + File + "' --format '" + c.Format +
                      "' --start 1 --end 2 --out-dir '" + Dir + "'");
    ASSERT_EQ(r.Code, 0) << r.Err;
    const std::string out = Dir + "/" + c.Output;
    ASSERT_NE(r.Out.find("output: " + out + "\n"), std::string::npos) << r.Out;
    TFFDecoder dec;
    ASSERT_TRUE(dec.LoadFile(out)) << dec.LastErrMsg();
    ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
    EXPECT_EQ(ReadFrameNumber(dec.Picture()), c.FirstFrame);
    // As many pictures as the ffmpeg tool gives for the same range: 15 at PSP's 15000/1001
    // rate, and for the copy the range's 25.
    int pictures = 1;
    while (dec.Decode()) ++pictures;
    EXPECT_EQ(pictures, c.Pictures);
    if (c.FirstFrame == 25) {
      EXPECT_NEAR(dec.GetFileStreamInfo().Duration / 1e6, 1.0, 0.1);
    }
  }
}

// On a terminal the job shows a bar rewritten in place that ends full at 100 %; into a pipe
// it prints the engine's progress lines. The options and output lines are the same either way.
TEST_F(CliCut, ProgressBarOnATerminalLinesOtherwise) {
  if (Shell("command -v script").Code != 0) GTEST_SKIP() << "script (util-linux) is not installed";
  const std::string cut = std::string(TRIMORA_CLI) + " cut '" + File + "' --format mkv --start 0.5 --end 2.5 --out-dir '" + Dir + "'";
  const std::string dry = Cut("--format mkv --start 0.5 --end 2.5").Out;
  ASSERT_NE(dry.find("\noutput: "), std::string::npos) << dry;

  // script gives the program a pseudo-terminal as its output (the terminal turns "\n" into
  // "\r\n") and exits with the program's code.
  TCliRun tty = Shell("script -qefc " + ShellQuote(cut + " 2>/dev/null") + " /dev/null </dev/null");
  ASSERT_EQ(tty.Code, 0) << tty.Out << tty.Err;
  std::string lines = dry;
  for (size_t at = 0; (at = lines.find('\n', at)) != std::string::npos; at += 2) lines.insert(at, "\r");
  ASSERT_EQ(tty.Out.rfind(lines, 0), 0u) << tty.Out;
  const std::string progress = tty.Out.substr(lines.size());
  const std::string full = "\r[" + std::string(30, '#') + "] 100%  0:00 left";
  const size_t last = progress.rfind("\r[");
  ASSERT_NE(last, std::string::npos) << progress;
  EXPECT_EQ(progress.compare(last, full.size() + 2, full + "\r\n"), 0) << progress;
  // Every report rewrote the same line: no line break before the last bar, each bar the same
  // shape ("[", 30 cells, "] ", a share, the time left).
  EXPECT_EQ(progress.find('\n'), last + full.size() + 1) << progress;
  for (size_t at = 0; (at = progress.find("\r[", at)) != std::string::npos; at += 2) {
    SCOPED_TRACE(progress.substr(at, 60));
    ASSERT_GT(progress.size(), at + 38);
    EXPECT_EQ(progress.substr(at + 32, 2), "] ");
    EXPECT_EQ(progress[at + 37], '%');
    EXPECT_NE(progress.find(" left", at), std::string::npos);
  }
  EXPECT_EQ(progress.find("frame="), std::string::npos) << progress;
  EXPECT_NE(progress.find("\r\nvideo:"), std::string::npos) << progress;
  fs::remove(Dir + "/g3-h264_(new).mkv");

  // Not a terminal: the engine's lines, one per report, the last one the final report.
  TCliRun pipe = Shell(cut);
  ASSERT_EQ(pipe.Code, 0) << pipe.Err;
  ASSERT_EQ(pipe.Out.rfind(dry, 0), 0u) << pipe.Out;
  const std::string rest = pipe.Out.substr(dry.size());
  EXPECT_EQ(rest.find('\r'), std::string::npos) << rest;
  EXPECT_EQ(rest.find("] "), std::string::npos) << rest;
  EXPECT_EQ(rest.rfind("frame=", 0), 0u) << rest;
  EXPECT_NE(rest.find(" Lsize="), std::string::npos) << rest;
  EXPECT_NE(rest.find("\nvideo:"), std::string::npos) << rest;
}

// --exact tells what it will encode and copy, then writes exactly the range's pictures; a codec
// it cannot cut to the frame gets the plain copy and the reason.
TEST_F(CliCut, ExactCutsToTheFrameAndSaysHow) {
  TCliRun r = Shell(std::string(TRIMORA_CLI) + " cut '" + File +
                    "' --format 0 --start 0.52 --end 1.48 --exact --out-dir '" + Dir + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Out.find("encode before: 11 pictures from 0.52 s to 0.92 s\n"
                       "copy: 12 pictures from 0.96 s to 1.4 s\n"
                       "encode after: 1 picture from 1.44 s to 1.44 s\n"),
            std::string::npos)
      << r.Out;
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(Dir + "/g3-h264_(new).mp4")) << dec.LastErrMsg();
  int pictures = 0;
  while (dec.Decode()) EXPECT_EQ(ReadFrameNumber(dec.Picture()), 13 + pictures++);
  EXPECT_EQ(pictures, 24);

  const std::string webm = FixturePath(FixtureKind::Vp8Webm);
  r = Shell(std::string(TRIMORA_CLI) + " cut '" + webm + "' --format 0 --start 0.52 --end 1.48 --exact --out-dir '" +
            Dir + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Err.find("vp8 video cannot be cut to the frame"), std::string::npos) << r.Err;
  EXPECT_TRUE(fs::exists(Dir + "/g3-vp8_(new).webm"));
  EXPECT_EQ(Cut("--format psp --exact").Code, 2);
}

// A video that starts after the file does (sound first, as in many camera files): the cut still
// starts on the chosen picture, because -ss counts from the file's start.
TEST_F(CliCut, AVideoStartingLateIsCutFromTheChosenPicture) {
  const std::string late = Dir + "/late.mp4";
  // The same streams, the pictures moved 0.2 s (five frames) after the sound.
  TCliRun r = Shell("ffmpeg -nostdin -v error -itsoffset 0.2 -i '" + File + "' -i '" + File +
                    "' -map 0:v -map 1:a -c copy '" + late + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  {
    TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(late));
    const int64_t offset = probe.GetVideoStreamInfo(-1).StartTime - probe.GetFileStreamInfo().StartTime;
    ASSERT_GE(offset, 80000) << "the video must start at least two frames late";
  }
  r = Shell(std::string(TRIMORA_CLI) + " cut '" + late + "' --format psp --start 1 --end 2 --out-dir '" + Dir + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(Dir + "/late_(new)_psp.mp4")) << dec.LastErrMsg();
  ASSERT_TRUE(dec.Decode());
  EXPECT_EQ(ReadFrameNumber(dec.Picture()), 25);
}

// What the ffmpeg tool says decoding the file, empty when it decodes clean.
std::string FfmpegComplaints(const std::string& file) {
  TCliRun r = RunShell("ffmpeg -nostdin -v error -i '" + file + "' -f null - 2>&1");
  return r.Code == 0 ? r.Out + r.Err : "exit " + std::to_string(r.Code) + ": " + r.Out + r.Err;
}

// A range that holds no key frame (one every 10 s): the copy is frame-exact by default and
// holds exactly the range's pictures; the plain copy (--no-exact) starts at the key frame
// before the start, says how much earlier, and holds the whole range. Gives the exact run.
TCliRun CheckCopyWithoutAKeyFrame(const std::string& file, const std::string& dir, const std::string& stem) {
  const std::string cut =
      std::string(TRIMORA_CLI) + " cut '" + file + "' --format 0 --start 4 --end 6 --out-dir '" + dir + "'";
  const TCliRun exactRun = Shell(cut);
  EXPECT_EQ(exactRun.Code, 0) << exactRun.Err;
  const std::string exact = dir + "/" + stem + "_(new).mp4";
  EXPECT_EQ(FrameNumbers(exact), Counting(100, 149));
  EXPECT_EQ(FfmpegComplaints(exact), "");

  const TCliRun r = Shell(cut + " --no-exact");
  EXPECT_EQ(r.Code, 0) << r.Err;
  EXPECT_NE(r.Err.find("The copy starts at the key frame 4.000 s before the start point.\n"), std::string::npos)
      << r.Err;
  const std::string plain = dir + "/" + stem + "_(new_1).mp4";
  std::vector<int> numbers = FrameNumbers(plain);
  // The B-pictures sent before the end's picture may follow it, as the ffmpeg tool gives them.
  EXPECT_GE(numbers.size(), 150u);
  numbers.resize(150);
  EXPECT_EQ(numbers, Counting(0, 149));
  EXPECT_EQ(FfmpegComplaints(plain), "");
  return exactRun;
}

TEST_F(CliCut, ACopyOfARangeWithoutAKeyFrameHoldsTheMarkedPictures) {
  File = FixturePath(FixtureKind::H264TenSecondGopMp4);
  const TCliRun r = CheckCopyWithoutAKeyFrame(File, Dir, "g3-h264gop10s");
  EXPECT_NE(r.Out.find("encode before: 50 pictures from 4 s to 5.96 s\ncopy: none\nencode after: none\n"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Err.find("Frame-exact copy: 50 pictures encoded before the copied part, 0 copied, 0 encoded after it.\n"),
            std::string::npos)
      << r.Err;
}

// The same on HEVC, what phones record.
TEST_F(CliCut, ACopyOfAnHevcRangeWithoutAKeyFrameHoldsTheMarkedPictures) {
  File = FixturePath(FixtureKind::LongGopHevcMp4);
  CheckCopyWithoutAKeyFrame(File, Dir, "g3-longgophevc");
}

// The plain copy's option text starts at the key frame at or before the start (plus the video's
// start offset) and runs to the end point; other formats take --no-exact and ignore it.
TEST_F(CliCut, ThePlainCopyTextStartsAtTheKeyFrameBeforeTheStart) {
  const std::string file = File;
  File = FixturePath(FixtureKind::H264TenSecondGopMp4);
  const std::string out = "\noutput: " + Dir + "/g3-h264gop10s_(new).mp4\n";
  TCliRun r = Cut("--format 0 --start 4 --end 6 --no-exact");
  EXPECT_EQ(r.Out, "options:   -ss 0  -t 6  -vcodec copy -acodec copy " + out);
  EXPECT_NE(r.Err.find("The copy starts at the key frame 4.000 s before the start point."), std::string::npos);
  // To the end of the file: the text's length runs from the key frame.
  EXPECT_EQ(Cut("--format 0 --start 11 --no-exact").Out, "options:   -ss 10  -t 2  -vcodec copy -acodec copy " + out);
  EXPECT_EQ(Cut("--format 0 --start 11 --end 11.48 --no-exact").Out,
            "options:   -ss 10  -t 1.48  -vcodec copy -acodec copy " + out);
  // A start on a key frame keeps its text.
  EXPECT_EQ(Cut("--format 0 --start 10 --end 11 --no-exact").Out,
            "options:   -ss 10  -t 1  -vcodec copy -acodec copy " + out);
  EXPECT_EQ(Cut("--format mp4 --start 4 --end 6 --no-exact").Out, Cut("--format mp4 --start 4 --end 6").Out);

  // The pictures 0.2 s after the sound: the key frame at 0.96 s is at 1.16 s of the file.
  const std::string late = Dir + "/late.mp4";
  r = Shell("ffmpeg -nostdin -v error -itsoffset 0.2 -i '" + file + "' -i '" + file +
            "' -map 0:v -map 1:a -c copy '" + late + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  File = late;
  r = Cut("--format 0 --start 1 --end 2 --no-exact");
  EXPECT_EQ(r.Out.rfind("options:   -ss 1.16  -t 1.04  -vcodec copy -acodec copy \n", 0), 0u) << r.Out;
}

// Every preset cut finishes and decodes clean on sources whose audio or picture some encoders
// refuse as they are: the values are moved to the nearest ones each encoder takes.
struct TAwkwardSource {
  const char* Name;
  const char* Make;  // ffmpeg output options after the fixture video and a tone
  const char* File;
};

void PrintTo(const TAwkwardSource& s, std::ostream* os) { *os << s.Name; }

class CliCutPresets : public CliCut, public ::testing::WithParamInterface<TAwkwardSource> {};

TEST_P(CliCutPresets, EveryPresetFinishesAndDecodesClean) {
  const TAwkwardSource& s = GetParam();
  const std::string source = Dir + "/" + s.File;
  TCliRun r = Shell("ffmpeg -nostdin -v error -i '" + File + "' -f lavfi -i sine=f=440:r=96000 -map 0:v -map 1:a -t 1 " +
                    s.Make + " '" + source + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  const std::string outDir = Dir + "/out";
  for (int format = 1; format < static_cast<int>(OutputChoices::Formats.size()); ++format) {
    SCOPED_TRACE(OutputChoices::Formats[format]);
    fs::remove_all(outDir);
    r = Shell("timeout 120 " + std::string(TRIMORA_CLI) + " cut '" + source + "' --format " + std::to_string(format) +
              " --out-dir '" + outDir + "' </dev/null");
    EXPECT_EQ(r.Code, 0) << r.Err;
    const size_t at = r.Out.find("output: ");
    ASSERT_NE(at, std::string::npos) << r.Out;
    const std::string output = r.Out.substr(at + 8, r.Out.find('\n', at) - at - 8);
    ASSERT_TRUE(fs::exists(output)) << output;
    EXPECT_EQ(FfmpegComplaints(output), "") << output;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CliCutPresets,
    ::testing::Values(TAwkwardSource{"Mono8k", "-c:v libx264 -c:a pcm_s16le -ar 8000 -ac 1", "mono8k.mkv"},
                      // 352.8 kb/s of 22.05 kHz mono: far above what MP2, MP3 and Vorbis take
                      TAwkwardSource{"Mono22k", "-c:v libx264 -c:a pcm_s16le -ar 22050 -ac 1", "mono22k.mkv"},
                      // six channels, an odd 4:2:0 picture and a rate MPEG-1 video cannot carry
                      TAwkwardSource{"Surround44k", "-vf scale=321:241,fps=14 -c:v ffv1 -pix_fmt yuv420p -c:a aac -ar 44100 "
                                                    "-ac 6 -b:a 384k",
                                     "surround.mkv"},
                      TAwkwardSource{"Stereo96k", "-c:v libx264 -c:a aac -ar 96000 -ac 2", "stereo96k.mp4"}),
    [](const ::testing::TestParamInfo<TAwkwardSource>& i) { return std::string(i.param.Name); });

// A source's bit rates go into the transcoding text as they are.
TEST_F(CliCut, AHealthyFileKeepsItsBitRates) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(File));
  const int64_t audio = dec.GetAudioStreamInfo(-1).BitRate, video = dec.GetVideoStreamInfo(-1).BitRate;
  ASSERT_GT(audio, 1000);
  ASSERT_GT(video, 1000);
  EXPECT_EQ(Cut("--format MP4").Out, "options:   -ab " + std::to_string(audio) + "  -vb " + std::to_string(video) +
                                         "\noutput: " + Dir + "/g3-h264_(new).mp4\n");
}

// A fragmented MP4 whose headers claim 39 hours: the bit rates the demuxer works out from that
// come to a few bits a second, and an encoder given them refuses to open. The cut leaves them
// out, as for a source without bit rates, and finishes with every picture.
TEST_F(CliCut, BitRatesFromADurationTheBytesCannotHoldAreLeftOut) {
  const std::string longer = Dir + "/claims39h.mp4";
  TCliRun r = Shell("ffmpeg -nostdin -v error -i '" + File + "' -c copy -movflags frag_keyframe+empty_moov '" +
                    longer + "'");
  ASSERT_EQ(r.Code, 0) << r.Err;
  ASSERT_EQ(ClaimHours(longer, 39), 5);  // mvhd, and tkhd and mdhd of both tracks
  {
    TFFDecoder probe;
    ASSERT_TRUE(probe.LoadFile(longer)) << probe.LastErrMsg();
    ASSERT_GE(probe.GetFileStreamInfo().Duration, int64_t(39) * 3600 * 1000000);
    ASSERT_GT(probe.GetVideoStreamInfo(-1).BitRate, 0);
    ASSERT_LT(probe.GetVideoStreamInfo(-1).BitRate, 1000) << "the demuxer no longer derives the rate from the header";
  }
  // The dry run names no bit rate, and the cut itself finishes; gives the written file.
  const auto cutWithoutRates = [&](const std::string& file, const std::string& stem) {
    File = file;
    TCliRun run = Cut("--format MP4");
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_EQ(run.Out, "options: \noutput: " + Dir + "/" + stem + "_(new).mp4\n");
    run = Shell("timeout 120 " + std::string(TRIMORA_CLI) + " cut '" + file + "' --format MP4 --out-dir '" + Dir +
                "' </dev/null");
    EXPECT_EQ(run.Code, 0) << run.Err;
    return Dir + "/" + stem + "_(new).mp4";
  };
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(cutWithoutRates(longer, "claims39h"))) << dec.LastErrMsg();
  // Every picture in order (the engine may repeat one to keep the output's rate even).
  int last = -1, shown = 0;
  while (dec.Decode()) {
    const int n = ReadFrameNumber(dec.Picture());
    ASSERT_TRUE(n == last || n == last + 1) << n << " after " << last;
    shown += n != last;
    last = n;
  }
  EXPECT_EQ(shown, GetFixtureInfo(FixtureKind::H264Mp4).frameCount);

  // Cut off half-way, as a download that broke: the same, and the cut ends with what is there.
  const std::string half = Dir + "/half39h.mp4";
  {
    std::ifstream in(longer, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    bytes.resize(bytes.size() / 2);
    std::ofstream(half, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  EXPECT_EQ(Shell("ffmpeg -nostdin -v error -i '" + cutWithoutRates(half, "half39h") + "' -f null -").Err, "");
}

TEST_F(CliCut, BadArgumentsAreUsageErrors) {
  for (const std::string& args :
       {std::string("--format nosuch"), std::string("--format 23"), std::string("--format psp --size 999x1"),
        std::string("--format 3gp --size 4"), std::string("--format psp --quality 11"),
        std::string("--format psp --start soon"), std::string("--start 1")}) {
    SCOPED_TRACE(args);
    EXPECT_EQ(Cut(args).Code, 2);
  }
  EXPECT_EQ(Shell(std::string(TRIMORA_CLI) + " cut '" + Dir + "/missing.mp4' --format psp --dry-run").Code, 1);
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
