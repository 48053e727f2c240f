// Thumbnails of key frames: the key frames' own pictures, nothing else decoded, cached, made
// in the background and cancelled at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>

#include "runtime/MainThread.h"
#include "support/Fixtures.h"
#include "timeline/Thumbnails.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

// The number the thumbnail shows.
int Shown(const TThumbnail& t) {
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> f(av_frame_alloc(), [](AVFrame* p) { av_frame_free(&p); });
  f->format = AV_PIX_FMT_RGB24;
  f->width = t.Width;
  f->height = t.Height;
  f->data[0] = const_cast<uint8_t*>(t.Rgb.data());
  f->linesize[0] = t.Width * 3;
  return ReadFrameNumber(f.get());
}

int64_t FrameUs(const FixtureInfo& info, int n) {
  return std::llround(1e6 * n * info.frameRate.den / info.frameRate.num);
}

struct TResult {
  bool Ok = false;
  std::string Error;
  std::vector<TThumbnail> Pictures;
  TThumbnailStats Stats;
};

TResult Produce(FixtureKind kind, const TThumbnailRequest& q) {
  TResult r;
  r.Ok = ProduceThumbnails(FixturePath(kind), q, [&](const TThumbnail& t) { r.Pictures.push_back(t); }, &r.Error,
                           nullptr, {}, &r.Stats);
  return r;
}

class ThumbnailsTest : public ::testing::TestWithParam<FixtureKind> {
protected:
  void SetUp() override { ClearThumbnailCache(); }
};

TEST_P(ThumbnailsTest, EveryKeyFrameOfTheSpanAndNoOtherPicture) {
  const FixtureInfo info = GetFixtureInfo(GetParam());
  // The whole file, then frames 20 to 50: key frames 24, 36 and 48 (GOPs of 12).
  for (const auto& [from, to] : {std::pair<int, int>{0, -1}, {20, 50}}) {
    TThumbnailRequest q;
    q.From = from ? FrameUs(info, from) : 0;
    q.To = to > 0 ? FrameUs(info, to) : 0;
    q.Height = 96;
    ClearThumbnailCache();
    const TResult r = Produce(GetParam(), q);
    ASSERT_TRUE(r.Ok) << r.Error;
    std::vector<int> expected;
    for (int k : info.keyFrames)
      if (k >= from && (to < 0 || k < to)) expected.push_back(k);
    ASSERT_EQ(r.Pictures.size(), expected.size()) << "span from frame " << from;
    EXPECT_EQ(r.Stats.DecodedPictures, static_cast<int>(expected.size())) << "only key frames are decoded";
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(Shown(r.Pictures[i]), expected[i]);
      EXPECT_NEAR(r.Pictures[i].Time, FrameUs(info, expected[i]), 1000);
      EXPECT_EQ(r.Pictures[i].Height, 96);
      EXPECT_EQ(r.Pictures[i].Width, 128) << "4:3 pictures";
      EXPECT_EQ(r.Pictures[i].Rgb.size(), 128u * 96 * 3);
    }
  }
  // The part of a span already made comes from the cache.
  TThumbnailRequest q;
  q.From = FrameUs(info, 30);
  q.To = FrameUs(info, 50);
  q.Height = 96;
  const TResult cached = Produce(GetParam(), q);
  ASSERT_TRUE(cached.Ok) << cached.Error;
  EXPECT_EQ(cached.Stats.DecodedPictures, 0);
  EXPECT_EQ(cached.Stats.FromCache, 2);
  ASSERT_EQ(cached.Pictures.size(), 2u);
  EXPECT_EQ(Shown(cached.Pictures[1]), 48);
}

TEST_P(ThumbnailsTest, CountedPicturesAreTheKeyFramesAtOrBeforeTheirTimes) {
  const FixtureInfo info = GetFixtureInfo(GetParam());
  TThumbnailRequest q;
  q.To = FrameUs(info, 75);
  q.Count = 5;  // frames 0, 15, 30, 45 and 60: with GOPs of 12, key frames 0, 12, 24, 36 and 60
  q.Height = 64;
  const TResult r = Produce(GetParam(), q);
  ASSERT_TRUE(r.Ok) << r.Error;
  std::vector<int> expected;
  for (int slot = 0; slot < 75; slot += 15) {
    int key = 0;
    for (int k : info.keyFrames)
      if (k <= slot) key = k;
    expected.push_back(key);
  }
  ASSERT_EQ(r.Pictures.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(r.Pictures[i].Slot, static_cast<int>(i));
    EXPECT_EQ(Shown(r.Pictures[i]), expected[i]) << "slot " << i;
  }
  EXPECT_EQ(r.Stats.DecodedPictures, 5) << "a key frame each, none twice";

  // Asked again, everything comes from the cache, picture for picture.
  const TResult again = Produce(GetParam(), q);
  ASSERT_TRUE(again.Ok) << again.Error;
  EXPECT_EQ(again.Stats.DecodedPictures, 0);
  EXPECT_EQ(again.Stats.FromCache, 5);
  ASSERT_EQ(again.Pictures.size(), r.Pictures.size());
  for (size_t i = 0; i < r.Pictures.size(); ++i) EXPECT_EQ(again.Pictures[i].Rgb, r.Pictures[i].Rgb);

  // Past the last key frame but one (frame 70, key frame 60): a seek there may land after the
  // last key frame.
  ClearThumbnailCache();
  TThumbnailRequest tail;
  tail.From = FrameUs(info, 70);
  tail.To = FrameUs(info, 75);
  tail.Count = 1;
  tail.Height = 64;
  const TResult last = Produce(GetParam(), tail);
  ASSERT_TRUE(last.Ok) << last.Error;
  ASSERT_EQ(last.Pictures.size(), 1u);
  EXPECT_EQ(Shown(last.Pictures[0]), expected.back());
}

INSTANTIATE_TEST_SUITE_P(Containers, ThumbnailsTest,
                         ::testing::Values(FixtureKind::H264Mp4, FixtureKind::H264Mkv, FixtureKind::Mpeg2Ts,
                                           FixtureKind::Vp8Webm, FixtureKind::Mpeg4Avi, FixtureKind::H264OpenGopMkv,
                                           FixtureKind::HevcMp4, FixtureKind::Hevc10Ts, FixtureKind::Vp9Webm),
                         [](const auto& p) { return std::string(FixtureKindName(p.param)); });

TEST(Thumbnails, ARecordingWithADisplayMatrixIsShownUpright) {
  TThumbnailRequest q;
  q.Height = 160;
  const TResult r = Produce(FixtureKind::H264RotatedMp4, q);
  ASSERT_TRUE(r.Ok) << r.Error;
  ASSERT_FALSE(r.Pictures.empty());
  EXPECT_EQ(r.Pictures[0].Width, 120);
  EXPECT_EQ(r.Pictures[0].Height, 160);
  EXPECT_EQ(Shown(r.Pictures[0]), 0);
}

TEST(Thumbnails, StreamsWithoutTimesOrDurationStillPicturesAndEditLists) {
  ClearThumbnailCache();
  // A raw stream has no times at all: its pictures are counted.
  TResult r = Produce(FixtureKind::RawH264, TThumbnailRequest());
  ASSERT_TRUE(r.Ok) << r.Error;
  ASSERT_EQ(r.Pictures.size(), 7u);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Shown(r.Pictures[i]), 12 * i);
    EXPECT_EQ(r.Pictures[i].Time, 480000 * i);
  }
  // Counted pictures without a duration span the key frames found.
  ClearThumbnailCache();
  TThumbnailRequest q;
  q.Count = 5;
  r = Produce(FixtureKind::RawH264, q);
  ASSERT_TRUE(r.Ok) << r.Error;
  ASSERT_EQ(r.Pictures.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Shown(r.Pictures[i]), 12 * i) << "slot " << i;

  q.Count = 3;
  r = Produce(FixtureKind::StillPng, q);
  ASSERT_TRUE(r.Ok) << r.Error;
  ASSERT_EQ(r.Pictures.size(), 3u);
  for (const TThumbnail& t : r.Pictures) EXPECT_EQ(Shown(t), 0);

  // The first key frame lies before the edit list's start and is not shown, yet it is the
  // picture at the start: frames 0, 12 and 12 for 0, 0.4 and 0.8 s.
  q.To = 1200000;
  r = Produce(FixtureKind::H264EditListMp4, q);
  ASSERT_TRUE(r.Ok) << r.Error;
  ASSERT_EQ(r.Pictures.size(), 3u);
  EXPECT_EQ(Shown(r.Pictures[0]), 0);
  EXPECT_EQ(Shown(r.Pictures[1]), 12);
  EXPECT_EQ(Shown(r.Pictures[2]), 12);
  EXPECT_EQ(r.Stats.DecodedPictures, 2);
}

TEST(Thumbnails, AFileThatChangedIsReadAgain) {
  ClearThumbnailCache();
  const std::string copy = FixtureDir() + "/thumbs-cache-" + std::to_string(getpid()) + ".mp4";
  std::filesystem::copy_file(FixturePath(FixtureKind::H264Mp4), copy, std::filesystem::copy_options::overwrite_existing);
  auto run = [&] {
    TThumbnailStats stats;
    std::string error;
    EXPECT_TRUE(ProduceThumbnails(copy, TThumbnailRequest(), [](const TThumbnail&) {}, &error, nullptr, {}, &stats))
        << error;
    return stats;
  };
  EXPECT_EQ(run().DecodedPictures, 7);
  EXPECT_EQ(run().FromCache, 7);
  // Another time of change is another file, whatever its name.
  std::filesystem::last_write_time(copy, std::filesystem::last_write_time(copy) - std::chrono::hours(1));
  EXPECT_EQ(run().DecodedPictures, 7);
  std::filesystem::remove(copy);
}

TEST(Thumbnails, FilesWithoutPicturesAndMissingFilesFailWithAReason) {
  TResult r = Produce(FixtureKind::Wav, TThumbnailRequest());
  EXPECT_FALSE(r.Ok);
  EXPECT_NE(r.Error.find("no video stream"), std::string::npos) << r.Error;
  std::string error;
  EXPECT_FALSE(ProduceThumbnails(FixtureDir() + "/no-such-file.mp4", TThumbnailRequest(), [](const TThumbnail&) {},
                                 &error));
  EXPECT_NE(error.find("no-such-file.mp4"), std::string::npos) << error;
  // A cancelled run is no failure: it ends at once without a reason and without pictures.
  const std::atomic<bool> cancel{true};
  int made = 0;
  EXPECT_FALSE(ProduceThumbnails(FixturePath(FixtureKind::H264Mp4), TThumbnailRequest(),
                                 [&](const TThumbnail&) { ++made; }, &error, &cancel));
  EXPECT_EQ(error, "");
  EXPECT_EQ(made, 0);
}

// Pumps the main-thread queue until done() holds or the time is up.
bool Pump(const std::function<bool()>& done, int ms = 20000) {
  return WaitInMainThread(done, ms);
}

TEST(ThumbnailProducer, DeliversInTheBackgroundAndCancelsAtOnce) {
  ClearThumbnailCache();
  const std::string path = FixturePath(FixtureKind::ToneStepsMkv);
  TThumbnailProducer producer;
  std::vector<TThumbnail> got;
  int done = 0;
  producer.OnThumbnail = [&](const TThumbnail& t) {
    EXPECT_TRUE(IsMainThread());
    got.push_back(t);
  };
  producer.OnDone = [&](bool, const std::string&) { ++done; };
  TThumbnailRequest q;
  q.Height = 240;  // bigger than the pictures: the 300 of them take a while
  producer.Start(path, q);
  ASSERT_TRUE(Pump([&] { return !got.empty(); }));
  const auto t0 = std::chrono::steady_clock::now();
  producer.Cancel();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
  EXPECT_LT(ms.count(), 100);
  EXPECT_FALSE(producer.Running());
  const size_t atCancel = got.size();
  ProcessMainThreadCalls();
  EXPECT_EQ(got.size(), atCancel) << "nothing of a cancelled run arrives afterwards";
  EXPECT_EQ(done, 0);
  EXPECT_LT(atCancel, 300u) << "the run stopped before its end";

  // Run to the end: every picture in time order, the progress at its end, then the notice.
  got.clear();
  std::vector<double> progress;
  bool complete = false;
  producer.OnProgress = [&](double share) { progress.push_back(share); };
  producer.OnDone = [&](bool ok, const std::string& error) {
    complete = ok;
    EXPECT_EQ(error, "");
    ++done;
  };
  q.Height = 48;
  producer.Start(path, q);
  ASSERT_TRUE(Pump([&] { return done > 0; }));
  EXPECT_TRUE(complete);
  ASSERT_EQ(got.size(), 300u);
  for (size_t i = 0; i < got.size(); i += 37) EXPECT_EQ(Shown(got[i]), static_cast<int>(i));
  for (size_t i = 1; i < got.size(); ++i) ASSERT_GT(got[i].Time, got[i - 1].Time);
  ASSERT_FALSE(progress.empty());
  EXPECT_DOUBLE_EQ(progress.back(), 1.0);
  EXPECT_EQ(producer.Stats().DecodedPictures, 300);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
