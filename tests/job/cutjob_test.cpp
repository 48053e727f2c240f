// The cut-job builder: the window's choices become exactly the option text and output name
// that the encoder is given.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "job/CutJob.h"
#include "job/OutputChoices.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace fs = std::filesystem;

namespace {

constexpr int64_t kSecond = 1000000;

TCutChoices Psp() {
  TCutChoices c;
  c.FileName = "/videos/clip.avi";
  c.TrimStart = 10 * kSecond;
  c.TrimEnd = 25500000;
  c.Duration = 60 * kSecond;
  c.FormatIndex = 9;  // PSP
  c.FrameSizeIndex = 0;
  c.QualityChecked = true;
  c.QualityIndex = 6;
  c.ProcessorCount = 4;
  c.AudioBitRate = 128000;
  c.VideoBitRate = 1200000;
  return c;
}

TEST(CutJob, PspExampleToTheByte) {
  const TCutJob job = BuildCutJob(Psp());
  EXPECT_EQ(job.Options,
            "  -ss 10  -t 15.5 -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240 "
            " -qscale 6 -threads 4  -ab 128000  -vb 1200000");
  EXPECT_EQ(job.Suffix, "_psp.mp4");
  EXPECT_FALSE(job.StreamCopy);
  TCutChoices faac = Psp();
  faac.HasLibfaac = true;
  EXPECT_NE(BuildCutJob(faac).Options.find(" -c:a libfaac -c:v mpeg4"), std::string::npos);
}

TEST(CutJob, RangeOptions) {
  TCutChoices c = Psp();
  c.FormatIndex = 7;  // MP4: no preset, so only the range and the rates remain
  c.QualityChecked = false;
  c.AudioBitRate = c.VideoBitRate = 0;
  c.TrimStart = c.TrimEnd = 0;
  EXPECT_EQ(BuildCutJob(c).Options, "");
  c.TrimStart = 1500000;  // start only: to the end of the file
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 1.5  -t 58.5");
  c.TrimStart = 0;
  c.TrimEnd = 40000;
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 0  -t 0.04");
  // A third of a second keeps its fifteen digits, with a full stop whatever the locale.
  c.TrimStart = 1000000;
  c.TrimEnd = 1333333;
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 1  -t 0.333333");
}

// The points as the buttons stored them are used, not positions rounded on the track bar;
// a selection the buttons did not make is read from the track bar.
TEST(CutJob, StoredPointsWinOverTrackBarRounding) {
  TCutChoices c = Psp();
  c.FormatIndex = 7;
  c.QualityChecked = false;
  c.AudioBitRate = c.VideoBitRate = 0;
  c.Duration = 3 * kSecond;
  c.TrimStart = 1040000;  // frame 26 at 25 fps
  c.TrimEnd = 2000000;
  c.TrackMax = 74;
  c.SelStart = 26;  // 26/74*3 s = 1.054 s: one picture late
  c.SelEnd = 49;
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 1.04  -t 0.96");
  c.SelectionFromPoints = false;
  const TCutJob fromBar = BuildCutJob(c);
  EXPECT_EQ(fromBar.TrimStart, 1054054);
  EXPECT_EQ(fromBar.Options, "  -ss 1.054054  -t 0.932432");
}

TEST(CutJob, VideoStartingAfterTheFileMovesOnlyTheStart) {
  TCutChoices c = Psp();
  c.FormatIndex = 0;
  c.VideoStartOffset = 80000;  // two frames of audio before the first picture
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 10.08  -t 15.5  -vcodec copy -acodec copy ");
  c.TrimEnd = 0;
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 10.08  -t 50  -vcodec copy -acodec copy ");
}

TEST(CutJob, StreamCopy) {
  TCutChoices c = Psp();
  c.FileName = "/videos/clip.MPG";
  c.FormatIndex = 0;
  c.TrimStart = c.TrimEnd = 0;
  TCutJob job = BuildCutJob(c);
  EXPECT_EQ(job.Options, "  -vcodec copy -acodec copy ");
  EXPECT_EQ(job.Suffix, ".MPG");
  EXPECT_TRUE(job.StreamCopy);
  c.RemoveAudio = true;
  EXPECT_EQ(BuildCutJob(c).Options, "  -an   -vcodec copy -acodec copy ");
  c.FormatIndex = -1;
  job = BuildCutJob(c);
  EXPECT_EQ(job.Suffix, "");
  EXPECT_TRUE(job.StreamCopy);
  c.FileName = "/videos/noext";
  c.FormatIndex = 0;
  EXPECT_EQ(BuildCutJob(c).Suffix, "");
}

// A file with several video streams (a motion photo's stills beside its video) is cut from the
// stream shown, and its sound, not from the largest picture the engine would take.
TEST(CutJob, StreamsTheEngineWouldPickWrongly) {
  TCutChoices c = Psp();
  c.FormatIndex = 0;
  c.MapVideoStream = 0;
  c.MapAudioStream = 3;
  EXPECT_EQ(BuildCutJob(c).Options, "  -ss 10  -t 15.5  -map 0:0  -map 0:3  -vcodec copy -acodec copy ");
  c.MapAudioStream = -1;
  c.FormatIndex = 7;
  c.TrimStart = c.TrimEnd = 0;
  EXPECT_EQ(BuildCutJob(c).Options, "  -map 0:0  -qscale 6 -threads 4  -ab 128000  -vb 1200000");
  // A subtitle stream that nothing here decodes is left out rather than failing the job.
  c.MapVideoStream = -1;
  c.DropSubtitles = true;
  EXPECT_EQ(BuildCutJob(c).Options, "  -sn  -qscale 6 -threads 4  -ab 128000  -vb 1200000");
  // Sound of a codec nothing here knows is neither copied nor encoded, and the job says so.
  c.DropSubtitles = false;
  c.AudioUnreadable = true;
  TCutJob job = BuildCutJob(c);
  EXPECT_EQ(job.Options, "  -qscale 6 -threads 4  -an   -ab 128000  -vb 1200000");
  ASSERT_EQ(job.Notes.size(), 1u);
  EXPECT_EQ(job.Notes[0], "The sound cannot be read here; the cut has none.");
  c.FormatIndex = 0;
  EXPECT_EQ(BuildCutJob(c).Options, "  -an   -vcodec copy -acodec copy ");
}

TEST(CutJob, FrameSizesAndAudioRules) {
  TCutChoices c = Psp();
  c.TrimStart = c.TrimEnd = 0;
  c.QualityChecked = false;
  c.AudioBitRate = 96000;
  c.VideoBitRate = 0;
  c.FormatIndex = 1;  // 3GP: its first size when nothing else is chosen
  c.FrameSizeIndex = 0;
  EXPECT_EQ(BuildCutJob(c).Options, " -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -s 128x96  -ab 96000");
  c.FrameSizeIndex = -1;
  EXPECT_EQ(BuildCutJob(c).Options, " -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -ab 96000");
  c.FormatIndex = 2;  // AVI with "Auto - Original": no size
  c.FrameSizeIndex = 0;
  EXPECT_EQ(BuildCutJob(c).Options, "  -ab 96000");
  c.FormatIndex = 4;  // iPod keeps 320x240 unless another size is chosen
  EXPECT_EQ(BuildCutJob(c).Options,
            " -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240  -ab 96000");
  c.FrameSizeIndex = 28;
  EXPECT_NE(BuildCutJob(c).Options.find("  -s 1920x1080 "), std::string::npos);
  c.FormatIndex = 5;  // MKV never sends the audio bit rate
  c.FrameSizeIndex = 0;
  c.VideoBitRate = 800000;
  EXPECT_EQ(BuildCutJob(c).Options, " -c:v libx264  -vb 800000");
  c.FormatIndex = 7;  // removing the audio still sends its bit rate
  c.RemoveAudio = true;
  EXPECT_EQ(BuildCutJob(c).Options, "  -an   -ab 96000  -vb 800000");
  EXPECT_EQ(FrameSizeOfEntry("Auto - Original"), "Auto");
  EXPECT_EQ(FrameSizeOfEntry(" odd"), " odd");
  EXPECT_EQ(FrameSizeOfEntry("640x480"), "640x480");
}

// The source's audio and picture values that a preset's encoder refuses become the nearest ones
// it takes, each change told once; values it takes leave the text as it was.
TEST(CutJob, ValuesAnEncoderRefusesBecomeTheNearestItTakes) {
  TCutChoices c = Psp();
  c.TrimStart = c.TrimEnd = 0;
  c.QualityChecked = false;
  c.AudioSampleRate = 48000;
  c.AudioChannels = 2;
  c.VideoWidth = 320;
  c.VideoHeight = 240;
  c.VideoPixelFormat = AV_PIX_FMT_YUV420P;
  c.FrameRateNum = 25;
  TCutJob job = BuildCutJob(c);
  EXPECT_EQ(job.Options,
            " -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4  -s 320x240  -ab 128000"
            "  -vb 1200000");
  EXPECT_TRUE(job.Notes.empty());

  // MP2 takes at most 160 kb/s for 22.05 kHz mono, and two channels.
  c.FormatIndex = 19;
  c.AudioSampleRate = 22050;
  c.AudioChannels = 1;
  c.AudioBitRate = 384000;
  job = BuildCutJob(c);
  EXPECT_EQ(job.Options, "  -ab 160000  -vb 1200000");
  ASSERT_EQ(job.Notes.size(), 1u);
  EXPECT_EQ(job.Notes[0], "mp2: the audio bit rate 384000 becomes 160000, the nearest it takes.");
  c.AudioSampleRate = 44100;
  c.AudioChannels = 6;
  job = BuildCutJob(c);
  EXPECT_EQ(job.Options, " -ac 2  -ab 384000  -vb 1200000");
  EXPECT_EQ(job.Notes, std::vector<std::string>{"mp2: 6 audio channels become 2, the nearest it takes."});

  // WMA: two channels at most, and no 96 kHz.
  c.FormatIndex = 22;
  c.AudioSampleRate = 96000;
  c.AudioBitRate = 128000;
  job = BuildCutJob(c);
  EXPECT_EQ(job.Options, " -vn -ac 2 -ar 48000 -c:a wmav2  -ab 128000  -vb 1200000");
  EXPECT_EQ(job.Notes.size(), 2u);

  // An odd 4:2:0 picture for libx264 is made even; MPEG-1 video takes only the standard rates.
  c.FormatIndex = 7;
  c.AudioSampleRate = 48000;
  c.AudioChannels = 2;
  c.VideoWidth = 321;
  c.VideoHeight = 241;
  c.FrameRateNum = 14;
  job = BuildCutJob(c);
  EXPECT_EQ(job.Options, "  -s 320x240  -ab 128000  -vb 1200000");
  EXPECT_EQ(job.Notes,
            std::vector<std::string>{"libx264: the picture size 321x241 becomes 320x240, the nearest it takes."});
  c.FormatIndex = 15;
  job = BuildCutJob(c);
  EXPECT_EQ(job.Options, " -r 24000/1001  -ab 128000  -vb 1200000");
  EXPECT_EQ(job.Notes,
            std::vector<std::string>{"mpeg1video: the frame rate 14 becomes 24000/1001, the nearest it takes."});
}

// Every format with a size, a quality and both processor counts.
TEST(CutJob, EveryFormat) {
  const std::string t = "  -s 352x288  -qscale 3 -threads 4  -ab 128000  -vb 1000000";
  const std::vector<std::pair<std::string, std::string>> want = {
      {"  -vcodec copy -acodec copy ", ".mp4"},
      {" -b:a 12.2k -ac 1 -ar 8000 -c:v h263  -s 704x576  -qscale 3 -threads 4  -ab 128000  -vb 1000000", ".3gp"},
      {t, ".avi"},
      {" -ar 44100" + t, ".flv"},
      {" -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4" + t, "_ipod.mp4"},
      {" -c:v libx264  -s 352x288  -qscale 3 -threads 4  -vb 1000000", ".mkv"},
      {t, ".mov"},
      {t, ".mp4"},
      {" -c:a libvorbis -c:v libtheora" + t, ".ogg"},
      {" -f psp -ar 24000 -r 15000/1001 -c:a aac -astrict experimental -c:v mpeg4" + t, "_psp.mp4"},
      {" -c:v rv10" + t, "_rv10.rm"},
      {" -c:v rv20" + t, "_rv20.rm"},
      {" -ar 44100" + t, ".swf"},
      {" -c:a wmav2 -c:v wmv2" + t, ".wmv"},
      {" -f webm -c:a libvorbis -c:v libvpx" + t, ".webm"},
      {t, ".m1v"},
      {t, ".m2v"},
      {t, ".aac"},
      {t, ".ac3"},
      {t, ".mp2"},
      {t, ".mp3"},
      {t, ".wav"},
      {" -vn -c:a wmav2" + t, ".wma"},
  };
  ASSERT_EQ(want.size(), OutputChoices::Formats.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(OutputChoices::Formats[i]);
    TCutChoices c;
    c.FileName = "/in/clip.mp4";
    c.Duration = 10 * kSecond;
    c.FormatIndex = static_cast<int>(i);
    c.FrameSizeIndex = 3;
    c.QualityChecked = true;
    c.QualityIndex = 3;
    c.ProcessorCount = 4;
    c.AudioBitRate = 128000;
    c.VideoBitRate = 1000000;
    TCutJob job = BuildCutJob(c);
    EXPECT_EQ(job.Options, want[i].first);
    EXPECT_EQ(job.Suffix, want[i].second);
    c.ProcessorCount = 1;
    std::string one = want[i].first;
    const size_t at = one.find(" -threads 4");
    if (at != std::string::npos) one.erase(at, 11);
    EXPECT_EQ(BuildCutJob(c).Options, one);
  }
}

class OutputName : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/trimora-outname-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Dir = tmpl;
    Settings["OutPutDir"] = Dir + "/out";
    Host.ReadString = [this](const std::string& k, const std::string& d) {
      auto it = Settings.find(k);
      return it == Settings.end() ? d : it->second;
    };
    Host.WriteString = [this](const std::string& k, const std::string& v) { Settings[k] = v; };
    Host.Warning = [this](const std::string& caption, const std::string& text) {
      Warnings.push_back(caption + "|" + text);
    };
    Host.DefaultDir = Dir + "/fallback";
  }
  void TearDown() override { fs::remove_all(Dir); }

  // The chosen folder lies below a plain file: this job's name stays in it, and one warning
  // names the fallback, which is made and stored.
  void ExpectFallback(const TOutputNameHost& host, const std::string& fallback) {
    std::ofstream(Dir + "/file") << "not a folder";
    Settings["OutPutDir"] = Dir + "/file/sub";
    EXPECT_EQ(MakeOutputFileName("/src/clip.avi", ".avi", host), Dir + "/file/sub/clip_(new).avi");
    ASSERT_EQ(Warnings.size(), 1u);
    EXPECT_EQ(Warnings[0], "Warning|Cannot create output directory:" + Dir +
                               "/file/sub.It will create default directory " + fallback + "!");
    EXPECT_EQ(Settings["OutPutDir"], fallback);
    EXPECT_TRUE(fs::is_directory(fallback));
  }

  std::string Dir;
  std::map<std::string, std::string> Settings;
  std::vector<std::string> Warnings;
  TOutputNameHost Host;
};

TEST_F(OutputName, NumbersPastTakenNamesAndCreatesTheFolder) {
  EXPECT_EQ(MakeOutputFileName("/src/clip.avi", ".mp4", Host), Dir + "/out/clip_(new).mp4");
  EXPECT_TRUE(fs::is_directory(Dir + "/out"));
  std::ofstream(Dir + "/out/clip_(new).mp4") << "x";
  std::ofstream(Dir + "/out/clip_(new_1).mp4") << "x";
  EXPECT_EQ(MakeOutputFileName("/src/clip.avi", ".mp4", Host), Dir + "/out/clip_(new_2).mp4");
  EXPECT_EQ(MakeOutputFileName("/src/clip.MPG", ".MPG", Host), Dir + "/out/clip_(new).MPG");
  EXPECT_EQ(MakeOutputFileName("/src/clip.avi", "", Host), Dir + "/out/clip_(new)");
  Settings["OutPutDir"] = Dir + "/out/";
  EXPECT_EQ(MakeOutputFileName("clip.avi", "_psp.mp4", Host), Dir + "/out/clip_(new)_psp.mp4");
  EXPECT_TRUE(Warnings.empty());
}

TEST_F(OutputName, UncreatableFolderWarnsAndFallsBackForLaterJobs) { ExpectFallback(Host, Dir + "/fallback"); }

// The fallback the window and trimora-cli get is a folder in the home folder, which the user
// can always make: it is made and stored, and the next job goes there without a warning.
TEST_F(OutputName, TheHostsFallbackIsInTheHomeFolder) {
  const char* oldHome = std::getenv("HOME");
  const std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", (Dir + "/home/").c_str(), 1);
  TOutputNameHost host = Host;
  host.DefaultDir = TOutputNameHost().DefaultDir;
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
  const std::string fallback = Dir + "/home/clipvanefree";
  EXPECT_EQ(host.DefaultDir, fallback);

  ExpectFallback(host, fallback);
  EXPECT_EQ(MakeOutputFileName("/src/clip.avi", ".avi", host), fallback + "/clip_(new).avi");
  EXPECT_EQ(Warnings.size(), 1u);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
