// Opening and describing files: failures with their texts, the info records' edge cases, the
// description text and the opening log lines, foreign contexts, stills and bitmaps.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "decoder/FFDecode.h"
#include "decoder/FileInfoLines.h"
#include "runtime/FFLoad.h"
#include "runtime/MainThread.h"
#include "support/Fixtures.h"

extern "C" {
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace {

std::vector<std::string> SplitCRLF(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

void ExpectLines(const std::vector<std::string>& got, const std::vector<std::string>& want) {
  for (size_t i = 0; i < std::max(got.size(), want.size()); ++i)
    EXPECT_EQ(i < got.size() ? got[i] : "<none>", i < want.size() ? want[i] : "<none>") << "line " << i;
}

TEST(DecoderOpen, UnknownForcedFormatFailsAndStaysClosed) {
  TFFDecoder dec;
  EXPECT_FALSE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4), "nosuchformat"));
  EXPECT_EQ(dec.LastErrMsg(), "Unknown input format: nosuchformat");
  EXPECT_EQ(dec.FormatContext(), nullptr);
  EXPECT_EQ(dec.StreamCount(), -1);
  EXPECT_EQ(dec.FileSize(), -1);
  // A known forced format opens.
  EXPECT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mkv), "matroska")) << dec.LastErrMsg();
  EXPECT_EQ(dec.ForcedFormatName(), "matroska");
  dec.CloseFile();
  EXPECT_EQ(dec.ForcedFormatName(), "");
}

TEST(DecoderOpen, MissingFileGivesTheNameAndTheErrorText) {
  TFFDecoder dec;
  const std::string name = "/nonexistent-folder/clip.avi";
  EXPECT_FALSE(dec.LoadFile(name));
  EXPECT_EQ(dec.LastErrMsg(), name + ": No such file or directory");
  EXPECT_EQ(dec.FormatContext(), nullptr);
}

TEST(DecoderOpen, ClosedDecoderAnswersWithInitialValues) {
  TFFDecoder dec;
  EXPECT_EQ(dec.StreamCount(), -1);
  EXPECT_EQ(dec.FirstVideoStreamIndex(), -1);
  EXPECT_EQ(dec.FileInfoText(), "");
  EXPECT_EQ(dec.LastErrMsg(), "file not loaded.");
  TFileStreamInfo f = dec.GetFileStreamInfo();
  EXPECT_EQ(f.StartTime, AV_NOPTS_VALUE);
  EXPECT_EQ(f.Duration, -1);
  EXPECT_EQ(f.Year, -1);
  EXPECT_FALSE(dec.IsVideoStream(0));
  EXPECT_EQ(dec.LastErrMsg(), "file not loaded.");
  EXPECT_FALSE(dec.Decode());
  EXPECT_EQ(dec.LastErrMsg(), "file not loaded.");
  TBitmap bmp(24, 7, 5);
  EXPECT_FALSE(dec.CopyToBitmap(bmp));
  EXPECT_EQ(dec.LastErrMsg(), "picture not ready, please decode first");
  EXPECT_EQ(bmp.Width(), 7);
  EXPECT_EQ(bmp.BitsPixel(), 24);
}

TEST(DecoderOpen, StreamInfoRecords) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4)));
  EXPECT_EQ(dec.StreamCount(), 2);
  EXPECT_EQ(dec.VideoStreamCount(), 1);
  EXPECT_EQ(dec.AudioStreamCount(), 1);
  EXPECT_EQ(dec.FirstVideoStreamIndex(), 0);
  EXPECT_EQ(dec.FirstAudioStreamIndex(), 1);
  EXPECT_TRUE(dec.IsVideoStream(0));
  EXPECT_TRUE(dec.IsAudioStream(1));
  EXPECT_FALSE(dec.IsVideoStream(7));
  EXPECT_EQ(dec.LastErrMsg(), "stream index #7 is invalid.");

  TVideoStreamInfo v = dec.GetVideoStreamInfo();
  EXPECT_EQ(v.Width, 320);
  EXPECT_EQ(v.Height, 240);
  EXPECT_EQ(v.FrameRateNum, 25);
  EXPECT_EQ(v.FrameRateDen, 1);
  EXPECT_EQ(v.Duration, 3000000);
  EXPECT_EQ(v.CodecDesc, "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)");
  EXPECT_EQ(v.SARNum, 1);
  EXPECT_FLOAT_EQ(v.DisplayAspectRatio, 4.0f / 3.0f);
  TAudioStreamInfo a = dec.GetAudioStreamInfo();
  EXPECT_EQ(a.SampleRate, 48000);
  EXPECT_EQ(a.Channels, 2);

  // An audio stream asked for as video: the initial record.
  TVideoStreamInfo none = dec.GetVideoStreamInfo(1);
  EXPECT_EQ(dec.LastErrMsg(), "stream #1 is not video stream.");
  EXPECT_EQ(none.Language, "");
  EXPECT_EQ(none.StartTime, -1);
  EXPECT_EQ(none.Duration, -1);
  EXPECT_FLOAT_EQ(none.SampleAspectRatio, -1.0f);
  EXPECT_FLOAT_EQ(none.DisplayAspectRatio, -1.0f);
  EXPECT_EQ(none.SARNum, 0);
  EXPECT_EQ(none.SARDen, 1);
  EXPECT_EQ(none.DARNum, 0);
  EXPECT_EQ(none.DARDen, 1);
  EXPECT_EQ(none.PixFmt, -1);
  EXPECT_EQ(none.FrameRateNum, 0);
  EXPECT_EQ(none.FrameRateDen, 1);
  dec.GetAudioStreamInfo(0);
  EXPECT_EQ(dec.LastErrMsg(), "stream #0 is not audio stream.");
}

TEST(DecoderOpen, EdgeCasesOfTheStreamDescription) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4)));
  AVStream* st = dec.FormatContext()->streams[0];
  // Zero sample aspect ratio.
  st->sample_aspect_ratio = AVRational{0, 1};
  st->codecpar->sample_aspect_ratio = AVRational{0, 1};
  TVideoStreamInfo v = dec.GetVideoStreamInfo(0);
  EXPECT_FLOAT_EQ(v.SampleAspectRatio, 0.0f);
  EXPECT_FLOAT_EQ(v.DisplayAspectRatio, -1.0f);
  EXPECT_EQ(v.DARNum, 0);
  EXPECT_EQ(v.DARDen, 1);
  // A time base with denominator 0 is repaired, and stays so.
  st->time_base = AVRational{1, 0};
  v = dec.GetVideoStreamInfo(0);
  EXPECT_EQ(st->time_base.num, 1);
  EXPECT_EQ(st->time_base.den, 1);
  EXPECT_EQ(v.Duration, v.DurationRaw * 1000000);
  st->time_base = AVRational{0, 0};
  dec.GetVideoStreamInfo(0);
  EXPECT_EQ(st->time_base.den, 1);
}

TEST(DecoderOpen, NoContainerDuration) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::RawH264)));
  TFileStreamInfo f = dec.GetFileStreamInfo();
  EXPECT_EQ(f.Duration, -1);
  EXPECT_EQ(f.StartTime, AV_NOPTS_VALUE);
  std::vector<std::string> lines = FileInfoLines(dec);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[1], "File Duration is not preseted");
  EXPECT_EQ(lines[3], "  Video Length is not preseted");
}

TEST(DecoderOpen, ForeignContextIsNeverClosedAndNotSeekable) {
  const std::string path = FixturePath(FixtureKind::H264Mkv);
  AVFormatContext* ic = nullptr;
  ASSERT_GE(avformat_open_input(&ic, path.c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
  {
    TFFDecoder dec;
    dec.SetFormatContext(ic);
    EXPECT_EQ(dec.StreamCount(), 2);
    EXPECT_FALSE(dec.OwnsContext());
    dec.SetFormatContext(ic);  // the same one: nothing happens
    EXPECT_EQ(dec.FormatContext(), ic);
    try {
      dec.Decode();
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "file cannot be seeked, handle is readonly.");
    }
    EXPECT_THROW(dec.Seek(0), std::runtime_error);
    dec.CloseFile();
    EXPECT_EQ(dec.FormatContext(), nullptr);
    dec.SetFormatContext(ic);
  }  // destroyed while attached
  // Still usable: nobody closed it.
  AVPacket* pkt = av_packet_alloc();
  EXPECT_GE(av_read_frame(ic, pkt), 0);
  av_packet_free(&pkt);
  avformat_close_input(&ic);
}

TEST(DecoderOpen, StillImageHasOnePictureAndRefusesSeeking) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::StillPng)));
  ASSERT_TRUE(dec.Decode()) << dec.LastErrMsg();
  EXPECT_EQ(ReadFrameNumber(dec.Picture()), 0);
  EXPECT_TRUE(dec.Decode());
  EXPECT_EQ(ReadFrameNumber(dec.Picture()), 0);
  EXPECT_FALSE(dec.Seek(0));
  EXPECT_EQ(dec.LastErrMsg(), "\"image2\" format cannot to be seeked.");
}

TEST(DecoderOpen, CopyToBitmapGivesThePicture) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::Mpeg2Ts)));
  TBitmap bmp;
  EXPECT_FALSE(dec.CopyToBitmap(bmp));
  EXPECT_EQ(dec.LastErrMsg(), "picture not ready, please decode first");
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(dec.Decode());
  ASSERT_TRUE(dec.CopyToBitmap(bmp));
  EXPECT_EQ(bmp.BitsPixel(), 32);
  EXPECT_EQ(bmp.Width(), 320);
  EXPECT_EQ(bmp.Height(), 240);
  EXPECT_EQ(ReadFrameNumberBGR(bmp.Bits(), bmp.Stride(), bmp.Width(), bmp.Height(), 4), 7);
  // The first picture of a stream starting at 1.44 s has a time near 0.
  ASSERT_TRUE(dec.Seek(0));
  ASSERT_TRUE(dec.Decode());
  EXPECT_EQ(ReadFrameNumber(dec.Picture()), 0);
  EXPECT_EQ(dec.FramePTS(), 0);
}

TEST(DecoderOpen, DeinterlacingKeepsThePicture) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4)));
  dec.SetDeinterlace(true);
  for (int n = 0; n < 5; ++n) {
    ASSERT_TRUE(dec.Decode());
    EXPECT_EQ(ReadFrameNumber(dec.Picture()), n);
  }
  EXPECT_TRUE(dec.Deinterlace()) << "the filter failed";
}

TEST(DecoderOpen, WithoutAFrameRateAFrameLasts40ms) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4)));
  AVStream* st = dec.FormatContext()->streams[0];
  st->avg_frame_rate = AVRational{0, 0};
  st->r_frame_rate = AVRational{0, 0};
  ASSERT_TRUE(dec.Decode());
  EXPECT_EQ(dec.FrameDuration(), 40000);
  for (int n = 1; n < 20; ++n) ASSERT_TRUE(dec.Decode());
  for (int n = 18; n >= 0; --n) {
    ASSERT_TRUE(dec.PrevFrame());
    ASSERT_EQ(ReadFrameNumber(dec.Picture()), n);
  }
}

// Every step names a wrong stream choice plainly, without the key-frame prefix.
TEST(DecoderOpen, StepsOnAWrongStreamSayWhy) {
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::Mp3)));
  const std::vector<std::function<bool(int)>> steps = {
      [&](int i) { return dec.Decode(i); }, [&](int i) { return dec.PrevFrame(i); },
      [&](int i) { return dec.PrevKeyFrame(i); }, [&](int i) { return dec.NextKeyFrame(i); }};
  for (size_t k = 0; k < steps.size(); ++k) {
    EXPECT_FALSE(steps[k](-1));
    EXPECT_EQ(dec.LastErrMsg(), "no video stream.") << "step " << k;
    EXPECT_FALSE(steps[k](0));
    EXPECT_EQ(dec.LastErrMsg(), "stream #0 is not video stream.") << "step " << k;
    EXPECT_FALSE(steps[k](9));
    EXPECT_EQ(dec.LastErrMsg(), "stream index #9 is invalid.") << "step " << k;
  }
  dec.CloseFile();
  EXPECT_FALSE(dec.PrevKeyFrame());
  EXPECT_EQ(dec.LastErrMsg(), "file not loaded.");
}

TEST(DecoderOpen, OpeningOptionsAndFlags) {
  std::vector<std::string> log;
  FFLogger().SetOnLog([&](const void*, uint32_t, TLogLevel level, const std::string& msg) {
    if (level == llError) log.push_back(msg);
  });
  TFFDecoder dec;
  dec.Options().InitOpts();
  dec.Options().FormatOpts.Set("probesize", "5000000");  // the demuxer takes it
  dec.Options().FormatOpts.Set("nosuchoption", "1");
  av_opt_set(dec.Options().SwsOpts.get(), "sws_flags", "bilinear", 0);
  ASSERT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4))) << dec.LastErrMsg();
  FFLogger().SetOnLog(nullptr);
  EXPECT_EQ(log, std::vector<std::string>{"Option nosuchoption not found, ignored."});
  EXPECT_TRUE(dec.FormatContext()->flags & AVFMT_FLAG_GENPTS);
  EXPECT_EQ(dec.Converter().SwsFlags(), SWS_BILINEAR);
  // The option set starts afresh after every open.
  EXPECT_TRUE(dec.Options().FormatOpts.Empty());
}

TEST(DecoderOpen, MissingLibrariesRaise) {
  FFLoader().UnloadLibs(DecoderLibraries);
  TFFDecoder dec;
  EXPECT_FALSE(dec.AVLibLoaded());
  try {
    dec.LoadFile(FixturePath(FixtureKind::H264Mp4));
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Library avcodec not loaded.");
  }
  ASSERT_TRUE(dec.LoadAVLib(""));
  EXPECT_TRUE(dec.AVLibLoaded());
  EXPECT_TRUE(dec.LoadFile(FixturePath(FixtureKind::H264Mp4)));
}

TEST(DecoderInfoText, H264Mp4) {
  const std::string path = FixturePath(FixtureKind::H264Mp4);
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(path));
  ExpectLines(SplitCRLF(dec.FileInfoText()),
              {"File Name: " + path,
               "Format Name: mov,mp4,m4a,3gp,3g2,mj2",
               "Format Long Name: QuickTime / MOV",
               "File Size: 95.06 KB",
               "Metadata:",
               "  major_brand     : isom",
               "  minor_version   : 512",
               "  compatible_brands: isomiso2avc1mp41",
               "  encoder         : Lavf59.27.100",
               "Duration: 00:00:03.005, start: 0.000000, bitrate: 259 kb/s",
               "  Stream #0[0x1](und), 1/12800: Video: h264 (High) (avc1 / 0x31637661), yuv420p(progressive), "
               "320x240 [SAR 1:1 DAR 4:3], 121 kb/s, 25 fps, 25 tbr, 12800 tbn, 50 tbc (default), start: 0.000000, "
               "duration: 00:00:03.005",
               "  Metadata:",
               "    handler_name    : VideoHandler",
               "    vendor_id       : [0][0][0][0]",
               "  Stream #1[0x2](und), 1/48000: Audio: aac (LC) (mp4a / 0x6134706D), 48000 Hz, stereo, fltp, "
               "127 kb/s (default), start: 0.000000, duration: 00:00:03.005",
               "  Metadata:",
               "    handler_name    : SoundHandler",
               "    vendor_id       : [0][0][0][0]"});
  ExpectLines(FileInfoLines(dec), {"File Size: 97339", "File Duration: 00:00:03.000", "Stream #0: Video",
                                   "  Video Length: 00:00:03.000", "  Video Frame Rate: 25.00",
                                   "  Video Bit Rate: 121 kb", "  Frame size (width X height): 320x240",
                                   "Stream #1: Audio", "  Audio Length: 00:00:03.000", "  Audio Sample Rate: 48000 hz",
                                   "  Audio Bit Rate: 127 kb"});
}

TEST(DecoderInfoText, Mpeg2TsWithProgram) {
  const std::string path = FixturePath(FixtureKind::Mpeg2Ts);
  TFFDecoder dec;
  ASSERT_TRUE(dec.LoadFile(path));
  // Size and overall bit rate follow the muxer's padding; the rest is fixed.
  const int64_t size = static_cast<int64_t>(std::filesystem::file_size(path));
  const std::string kbs = std::to_string(dec.FormatContext()->bit_rate / 1000);
  ExpectLines(SplitCRLF(dec.FileInfoText()),
              {"File Name: " + path,
               "Format Name: mpegts",
               "Format Long Name: MPEG-TS (MPEG-2 Transport Stream)",
               "File Size: " + SizeToText(size),
               "Duration: 00:00:03.015, start: 1.429978, bitrate: " + kbs + " kb/s",
               "Program 1 ",
               "  Metadata:",
               "    service_name    : Service01",
               "    service_provider: FFmpeg",
               "  Stream #0[0x100], 1/90000: Video: mpeg2video (Main) ([2][0][0][0] / 0x0002), yuv420p(tv, "
               "progressive), 320x240 [SAR 1:1 DAR 4:3], 25 fps, 25 tbr, 90k tbn, 50 tbc, start: 1.440000, "
               "duration: 00:00:03.005",
               "  Stream #1[0x101], 1/90000: Audio: mp2 ([3][0][0][0] / 0x0003), 48000 Hz, stereo, fltp, 192 kb/s, "
               "start: 1.429978, duration: 00:00:02.909"});
  ExpectLines(FileInfoLines(dec), {"File Size: " + std::to_string(size), "File Duration: 00:00:03.010", "Stream #0: Video",
                                   "  Video Length: 00:00:03.000", "  Video Frame Rate: 25.00",
                                   "  Video Bit Rate is not preseted", "  Frame size (width X height): 320x240",
                                   "Stream #1: Audio", "  Audio Length: 00:00:02.904", "  Audio Sample Rate: 48000 hz",
                                   "  Audio Bit Rate: 192 kb"});
}

// A context built by hand: the container and stream times decide the "Duration:" line and the
// start texts.
TEST(DecoderInfoText, DurationLineAndStartTexts) {
  struct TCtxFree {
    void operator()(AVFormatContext* c) const { avformat_free_context(c); }
  };
  std::unique_ptr<AVFormatContext, TCtxFree> ic(avformat_alloc_context());
  ASSERT_TRUE(ic);
  AVStream* st = avformat_new_stream(ic.get(), nullptr);
  ASSERT_TRUE(st);
  st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
  st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
  st->time_base = AVRational{1, 1000};
  ic->start_time = AV_NOPTS_VALUE;
  ic->duration = 1500000;
  ic->bit_rate = 128000;
  TFFDecoder dec;
  dec.SetFormatContext(ic.get());

  // Without a start time the line ends after the duration.
  std::vector<std::string> lines = SplitCRLF(dec.FileInfoText());
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[3], "Duration: 00:00:01.505");
  EXPECT_EQ(lines[4].rfind("  Stream #0, 1/1000: Audio: pcm_s16le", 0), 0u) << lines[4];

  // Starts just before zero keep their sign.
  ic->start_time = -500000;
  st->start_time = -40;
  lines = SplitCRLF(dec.FileInfoText());
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[3], "Duration: 00:00:01.505, start: -0.500000, bitrate: 128 kb/s");
  EXPECT_NE(lines[4].find(", start: -0.040000"), std::string::npos) << lines[4];
  ic->start_time = -1500000;
  ic->bit_rate = 0;
  EXPECT_EQ(SplitCRLF(dec.FileInfoText())[3], "Duration: 00:00:01.505, start: -1.500000, bitrate: N/A");
  dec.CloseFile();
}

TEST(DecoderInfoText, FormatPTS) {
  EXPECT_EQ(FormatPTS(0), "00:00:00.000");
  EXPECT_EQ(FormatPTS(3723456789), "01:02:03.456");
  EXPECT_EQ(FormatPTS(59999999), "00:00:59.999");
  EXPECT_EQ(FormatPTS(90000000000), "25:00:00.000");
  // Pictures an edit list shows before the start.
  EXPECT_EQ(FormatPTS(-333333), "-00:00:00.333");
  EXPECT_EQ(FormatPTS(-3723456789), "-01:02:03.456");
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  TFFDecoder loader;
  if (!loader.LoadAVLib("")) return 1;
  return RUN_ALL_TESTS();
}
