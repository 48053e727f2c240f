// Timestamps the engine repairs and keeps: the time base of copied streams, an MPEG-TS whose
// 33-bit timestamps wrap in the middle, a stream that appears while the file is read, and the
// display matrix of a rotated recording.
#include <gtest/gtest.h>

#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/mastering_display_metadata.h>
}

#include "RunSupport.h"
#include "engine/CopyTimeBase.h"

using namespace runsupport;

namespace {

int MuxerFlags(const char* name) {
  const AVOutputFormat* f = av_guess_format(name, nullptr, nullptr);
  return f ? f->flags : 0;
}

TEST(CopyTimeBase, FollowsTheContainerAndTheCopytbSetting) {
  const AVRational none{0, 1};
  struct TRow {
    const char* Muxer;
    AVRational T, C;
    int Ticks;
    AVRational R;
    int CopyTb;
    AVRational Forced;
    bool Timecode;
    AVRational Expected;
  };
  const std::vector<TRow> rows = {
      // Containers with times of their own keep the demuxer's.
      {"matroska", {1, 1000}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 1000}},
      {"mp4", {1, 1000}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 1000}},
      {"mov", {1, 90000}, {1, 50}, 2, {25, 1}, 0, none, false, {1, 90000}},
      {"flv", {1, 90000}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 90000}},
      // AVI: half the real frame rate when the ticks are finer than half a frame...
      {"avi", {1, 90000}, none, 1, {25, 1}, -1, none, false, {1, 50}},
      // ... else the decoder's frame tick halved (H.264 counts fields, MPEG-4 frames).
      {"avi", {1, 1000}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 50}},
      {"avi", {1, 12800}, {1, 25}, 1, {25, 1}, -1, none, false, {1, 50}},
      // A coarse demuxer time base stays; copytb 2 and 0 force their rule.
      {"avi", {1, 25}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 25}},
      {"avi", {1, 25}, {1, 50}, 2, {30000, 1001}, 2, none, false, {1001, 60000}},
      {"avi", {1, 90000}, {1, 60}, 2, {30, 1}, 0, none, false, {1, 60}},
      // Containers without variable frame rates take the decoder's frame tick.
      {"mpeg", {1, 1000}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 25}},
      {"asf", {1, 90000}, {1, 25}, 1, {25, 1}, -1, none, false, {1, 25}},
      {"asf", {1, 90000}, {1, 25}, 1, {25, 1}, 1, none, false, {1, 90000}},
      {"ogg", {1, 100}, {1, 50}, 2, {25, 1}, -1, none, false, {1, 100}},
      // Timecode streams take the decoder's time base when it is a plausible frame tick.
      {"mov", {1, 90000}, {1, 25}, 1, {25, 1}, -1, none, true, {1, 25}},
      {"mov", {1, 90000}, {1, 30000}, 1, {25, 1}, -1, none, true, {1, 90000}},
      // A frame rate asked for wins; the result fits 32 bits.
      {"matroska", {1, 1000}, {1, 50}, 2, {25, 1}, -1, {30, 1}, false, {1, 30}},
      {"avi", {1, 25}, none, 1, {2147483647, 3}, 2, none, false, {1, 1431655765}},
  };
  for (const TRow& r : rows) {
    TCopyTiming t;
    t.Muxer = r.Muxer;
    t.MuxerFlags = MuxerFlags(r.Muxer);
    t.StreamTb = r.T;
    t.CodecTb = r.C;
    t.TicksPerFrame = r.Ticks;
    t.RealRate = t.AvgRate = r.R;
    t.CopyTb = r.CopyTb;
    t.ForcedRate = r.Forced;
    t.Timecode = r.Timecode;
    const AVRational got = ChooseCopyTimeBase(t);
    EXPECT_EQ(av_cmp_q(got, r.Expected), 0)
        << r.Muxer << " T=" << r.T.num << "/" << r.T.den << " copytb=" << r.CopyTb << ": got "
        << got.num << "/" << got.den << ", expected " << r.Expected.num << "/" << r.Expected.den;
  }
}

class TimestampsTest : public TRunTest {
protected:
  // Runs one job; false with the reason when it did not finish cleanly.
  ::testing::AssertionResult Run(const std::string& in, const std::string& out,
                                 const std::string& options, const std::string& inOptions = "") {
    TCustomFFmpeg e;
    if (!Prepare(e, {in}, out, options, false, inOptions))
      return ::testing::AssertionFailure() << options << ": " << e.LastErrMsg();
    e.Start(false);
    if (!e.Finished() || e.Exception())
      return ::testing::AssertionFailure() << options << ": " << e.ExceptionMsg();
    return ::testing::AssertionSuccess();
  }

  static std::vector<int> Numbers(const TPictures& p) {
    std::vector<int> n;
    for (const TPicture& x : p.Pictures) n.push_back(x.Number);
    return n;
  }

  static std::vector<int> Range(int first, int count) {
    std::vector<int> n;
    for (int i = 0; i < count; i++) n.push_back(first + i);
    return n;
  }

  static AVRational OutputTimeBase(const std::string& path, double* rotation = nullptr) {
    AVFormatContext* ic = nullptr;
    AVRational tb{0, 1};
    if (avformat_open_input(&ic, path.c_str(), nullptr, nullptr) < 0) return tb;
    avformat_find_stream_info(ic, nullptr);
    const int vi = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (vi >= 0) {
      tb = ic->streams[vi]->time_base;
      const auto* m = reinterpret_cast<const int32_t*>(
          av_stream_get_side_data(ic->streams[vi], AV_PKT_DATA_DISPLAYMATRIX, nullptr));
      if (rotation) *rotation = m ? av_display_rotation_get(m) : 0;
    }
    avformat_close_input(&ic);
    return tb;
  }
};

TEST_F(TimestampsTest, CopiesIntoAviCountInFramesUnlessCopytbSaysOtherwise) {
  // Matroska's millisecond ticks become the frame tick of the AVI; "-copytb 1" keeps them.
  const std::string mkv = Out("mpeg4.mkv");
  Shell("ffmpeg -nostdin -v error -i '" + FixturePath(FixtureKind::Mpeg4Avi) +
        "' -an -c copy '" + mkv + "'");
  ASSERT_EQ(av_cmp_q(OutputTimeBase(mkv), AVRational{1, 1000}), 0);
  ASSERT_TRUE(Run(mkv, Out("auto.avi"), "-c copy"));
  EXPECT_EQ(av_cmp_q(OutputTimeBase(Out("auto.avi")), AVRational{1, 50}), 0);
  EXPECT_EQ(Numbers(ReadPictures(Out("auto.avi"))), Range(0, 75));
  EXPECT_EQ(FFmpegDecodeErrors(Out("auto.avi")), "");
  ASSERT_TRUE(Run(mkv, Out("demuxer.avi"), "-c copy -copytb 1"));
  EXPECT_EQ(av_cmp_q(OutputTimeBase(Out("demuxer.avi")), AVRational{1, 1000}), 0);
}

// The wrap falls 5 s in, after frame 124; the demuxer's own overflow correction on and off.
TEST_F(TimestampsTest, CutsAcrossTheWrapHoldTheMarkedPictures) {
  const std::string in = FixturePath(FixtureKind::H264WrapTs);
  for (const std::string inOptions : {"", "-correct_ts_overflow 0"}) {
    SCOPED_TRACE(inOptions);
    // A copy begins on a key frame (one every 25 pictures) and runs on without a gap across
    // the wrap, each picture at its time (B-pictures past the end may be left out).
    ASSERT_TRUE(Run(in, Out("copy.mkv"), "-ss 3.5 -t 3 -c copy", inOptions));
    const TPictures copy = ReadPictures(Out("copy.mkv"));
    ASSERT_GT(copy.Pictures.size(), 50u);
    const int first = copy.Pictures.front().Number;
    EXPECT_EQ(first % 25, 0);
    EXPECT_LE(first, 100);
    const std::vector<int> numbers = Numbers(copy);
    EXPECT_EQ(std::vector<int>(numbers.begin(), numbers.begin() + (151 - first)),
              Range(first, 151 - first));
    for (const TPicture& p : copy.Pictures)
      EXPECT_NEAR(p.Time - copy.Pictures.front().Time, (p.Number - first) / 25.0, 0.002)
          << p.Number;
    EXPECT_EQ(FFmpegDecodeErrors(Out("copy.mkv")), "");
    // A transcode of the second around the wrap: exactly its pictures, from time 0.
    ASSERT_TRUE(Run(in, Out("cut.mp4"), "-ss 4.5 -t 1 -c:v mpeg4 -qscale 2 -c:a aac", inOptions));
    const TPictures cut = ReadPictures(Out("cut.mp4"));
    EXPECT_EQ(Numbers(cut), Range(112, 25));
    ASSERT_FALSE(cut.Pictures.empty());
    EXPECT_NEAR(cut.Pictures.front().Time, 0, 0.002);
    EXPECT_FALSE(cut.AudioDts.empty());
    EXPECT_EQ(FFmpegDecodeErrors(Out("cut.mp4")), "");
    EXPECT_EQ(Shell("ffprobe -v error -show_entries format=duration -of csv=p=0 '" +
                    Out("cut.mp4") + "'").substr(0, 3),
              "1.0");
  }
}

// A copy that starts exactly on a key frame of a stream with B-pictures keeps that key frame:
// its decode-order time lies a picture or two before the start, its shown time does not.
TEST_F(TimestampsTest, ACopyFromAKeyFrameStartsWithIt) {
  const FixtureInfo info = GetFixtureInfo(FixtureKind::H264Mp4);
  ASSERT_TRUE(info.hasBFrames);
  const int key = info.keyFrames.at(1);
  const double ss = FixtureFrameTime(info, key) - info.startTime;
  char options[96];
  snprintf(options, sizeof options, "-ss %.6f -t 1 -c copy", ss);
  ASSERT_TRUE(Run(FixturePath(FixtureKind::H264Mp4), Out("fromkey.mp4"), options));
  const TPictures copy = ReadPictures(Out("fromkey.mp4"));
  ASSERT_FALSE(copy.Pictures.empty());
  EXPECT_EQ(copy.Pictures.front().Number, key);
  EXPECT_EQ(FFmpegDecodeErrors(Out("fromkey.mp4")), "");
}

TEST_F(TimestampsTest, StartTimeMovesToTheFirstStreamInUse) {
  // The sound starts 1024 samples before the video; without it the start is the video's, so
  // the cut's pictures are those of its times after the first picture.
  const std::string in = FixturePath(FixtureKind::H264WrapTs);
  ASSERT_TRUE(Run(in, Out("video.mp4"), "-ss 4.5 -t 1 -an -c:v mpeg4 -qscale 2"));
  EXPECT_EQ(LinesWith("Correcting start time by 21333").size(), 1u);
  EXPECT_EQ(Numbers(ReadPictures(Out("video.mp4"))), Range(113, 25));
  ASSERT_TRUE(Run(in, Out("both.mp4"), "-ss 4.5 -t 1 -c:v mpeg4 -qscale 2 -c:a aac"));
  EXPECT_EQ(LinesWith("Correcting start time").size(), 1u);
}

TEST_F(TimestampsTest, AStreamAppearingWhileReadingIsReportedOnceAndLeftOut) {
  const std::string in = FixturePath(FixtureKind::H264LateAudioTs);
  // Opened on its first 100 kB and without a look at its end, the file shows only the video.
  ASSERT_TRUE(Run(in, Out("late.mkv"), "-c copy",
                  "-probesize 100000 -skip_estimate_duration_from_pts 1"));
  const std::vector<std::string> warned = LinesWith("New audio stream 0:1 at pos:");
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_NE(warned[0].find(" and DTS:"), std::string::npos) << warned[0];
  const TPictures p = ReadPictures(Out("late.mkv"));
  EXPECT_EQ(Numbers(p), Range(0, 250));
  EXPECT_TRUE(p.AudioDts.empty());
}

// The H.264 fixture in Matroska with HDR10 colours, mastering display and light levels.
bool WriteHdrMkv(const std::string& in, const std::string& out) {
  AVFormatContext* ic = nullptr;
  AVFormatContext* oc = nullptr;
  bool ok = avformat_open_input(&ic, in.c_str(), nullptr, nullptr) >= 0 &&
            avformat_find_stream_info(ic, nullptr) >= 0 &&
            avformat_alloc_output_context2(&oc, nullptr, "matroska", out.c_str()) >= 0;
  for (unsigned i = 0; ok && i < ic->nb_streams; i++) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    ok = st && avcodec_parameters_copy(st->codecpar, ic->streams[i]->codecpar) >= 0;
    if (!ok || st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    st->codecpar->color_primaries = AVCOL_PRI_BT2020;
    st->codecpar->color_trc = AVCOL_TRC_SMPTE2084;
    st->codecpar->color_space = AVCOL_SPC_BT2020_NCL;
    auto* md = reinterpret_cast<AVMasteringDisplayMetadata*>(av_stream_new_side_data(
        st, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, sizeof(AVMasteringDisplayMetadata)));
    auto* cl = reinterpret_cast<AVContentLightMetadata*>(av_stream_new_side_data(
        st, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, sizeof(AVContentLightMetadata)));
    ok = md && cl;
    if (!ok) continue;
    *md = AVMasteringDisplayMetadata{};
    md->max_luminance = AVRational{1000, 1};
    md->min_luminance = AVRational{1, 10000};
    md->has_luminance = 1;
    cl->MaxCLL = 1000;
    cl->MaxFALL = 400;
  }
  ok = ok && avio_open(&oc->pb, out.c_str(), AVIO_FLAG_WRITE) >= 0 &&
       avformat_write_header(oc, nullptr) >= 0;
  AVPacket* pkt = av_packet_alloc();
  while (ok && av_read_frame(ic, pkt) >= 0) {
    av_packet_rescale_ts(pkt, ic->streams[pkt->stream_index]->time_base,
                         oc->streams[pkt->stream_index]->time_base);
    ok = av_interleaved_write_frame(oc, pkt) >= 0;
  }
  ok = ok && av_write_trailer(oc) >= 0;
  av_packet_free(&pkt);
  if (oc) avio_closep(&oc->pb);
  avformat_free_context(oc);
  avformat_close_input(&ic);
  return ok;
}

TEST_F(TimestampsTest, CopyKeepsColoursAndHdrMetadata) {
  const std::string in = Out("hdr.mkv");
  ASSERT_TRUE(WriteHdrMkv(FixturePath(FixtureKind::H264Mkv), in));
  ASSERT_TRUE(Run(in, Out("copy.mkv"), "-ss 1 -t 1 -c copy"));
  AVFormatContext* ic = nullptr;
  ASSERT_GE(avformat_open_input(&ic, Out("copy.mkv").c_str(), nullptr, nullptr), 0);
  ASSERT_GE(avformat_find_stream_info(ic, nullptr), 0);
  const AVStream* st = ic->streams[av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0)];
  EXPECT_EQ(st->codecpar->color_trc, AVCOL_TRC_SMPTE2084);
  EXPECT_EQ(st->codecpar->color_primaries, AVCOL_PRI_BT2020);
  const auto* md = reinterpret_cast<const AVMasteringDisplayMetadata*>(
      av_stream_get_side_data(st, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, nullptr));
  const auto* cl = reinterpret_cast<const AVContentLightMetadata*>(
      av_stream_get_side_data(st, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, nullptr));
  ASSERT_TRUE(md && cl);
  EXPECT_EQ(av_cmp_q(md->max_luminance, AVRational{1000, 1}), 0);
  EXPECT_EQ(cl->MaxCLL, 1000u);
  EXPECT_EQ(cl->MaxFALL, 400u);
  avformat_close_input(&ic);
}

// At a constant output rate above the source's, a picture fills its own time when the graph
// only converts it (its packet says how long it lasts), else one tick; a picture from the end
// of the range on is left out and fills nothing. The ffmpeg tool writes as many pictures.
TEST_F(TimestampsTest, ConstantRateEndsWithTheLastPictureOfTheRange) {
  const std::string in = FixturePath(FixtureKind::H264Mp4);
  struct TCase {
    std::string Options;
    std::vector<int> Expected;
  };
  std::vector<int> twice, fill{25};
  for (int n = 25; n <= 37; n++) twice.insert(twice.end(), {n, n});
  for (int n = 26; n <= 37; n++) fill.insert(fill.end(), {n, n});
  const std::vector<TCase> cases = {
      {"-ss 1 -t 0.51 -r 50 -an -c:v mpeg4 -qscale 2", twice},
      {"-ss 1 -t 0.51 -r 50 -an -vf copy -c:v mpeg4 -qscale 2", fill},
      // The length counts in the source's ticks from the first picture: picture 37 starts
      // 0.48 s after picture 25, which 0.480001 s are in 1/12800 ticks.
      {"-ss 1 -t 0.480001 -an -c:v mpeg4 -qscale 2", Range(25, 12)},
  };
  for (const TCase& c : cases) {
    ASSERT_TRUE(Run(in, Out("ours.mp4"), c.Options));
    EXPECT_EQ(Numbers(ReadPictures(Out("ours.mp4"))), c.Expected) << c.Options;
    Shell("ffmpeg -nostdin -y -v error -i '" + in + "' " + c.Options + " '" + Out("tool.mp4") + "'");
    EXPECT_EQ(ReadPictures(Out("tool.mp4")).Pictures.size(), c.Expected.size()) << c.Options;
  }
}

TEST_F(TimestampsTest, RotationIsKeptOnCopyAndAppliedOnTranscode) {
  const std::string in = FixturePath(FixtureKind::H264RotatedMp4);
  // The stored pictures lie on their side: their numbers cannot be read as they are.
  ASSERT_NE(Numbers(ReadPictures(in)), Range(0, 75));
  for (const char* name : {"copy.mp4", "copy.mov"}) {
    ASSERT_TRUE(Run(in, Out(name), "-c copy"));
    double rotation = 0;
    OutputTimeBase(Out(name), &rotation);
    EXPECT_NEAR(rotation, -90, 0.01) << name;
  }
  ASSERT_TRUE(Run(in, Out("upright.mp4"), "-c:v mpeg4 -qscale 2 -c:a aac"));
  double rotation = 1;
  OutputTimeBase(Out("upright.mp4"), &rotation);
  EXPECT_EQ(rotation, 0);
  EXPECT_EQ(Shell("ffprobe -v error -select_streams v -show_entries stream=width,height -of "
                  "csv=p=0 '" + Out("upright.mp4") + "'"),
            "240,320\n");
  EXPECT_EQ(Numbers(ReadPictures(Out("upright.mp4"))), Range(0, 75));
}

}  // namespace

int main(int argc, char** argv) {
  MarkMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
