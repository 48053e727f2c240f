// NAL units of H.264 and HEVC packets in both layouts, and where decoding may begin.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

struct TParams {
  AVCodecParameters* Par = avcodec_parameters_alloc();
  TParams(AVCodecID id, std::vector<uint8_t> extradata) {
    Par->codec_id = id;
    Par->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(extradata.begin(), extradata.end(), Par->extradata);
    Par->extradata_size = static_cast<int>(extradata.size());
  }
  ~TParams() { avcodec_parameters_free(&Par); }
};

struct TPacket {
  AVPacket* Pkt = av_packet_alloc();
  TPacket(const std::vector<uint8_t>& data, bool key) {
    av_new_packet(Pkt, static_cast<int>(data.size()));
    std::copy(data.begin(), data.end(), Pkt->data);
    if (key) Pkt->flags |= AV_PKT_FLAG_KEY;
  }
  ~TPacket() { av_packet_free(&Pkt); }
};

// An avcC record with 4-byte lengths and no parameter sets.
const std::vector<uint8_t> kAvcC = {1, 0x64, 0, 0x1f, 0xff, 0xe0, 0};

}  // namespace

TEST(NalUnits, BothLayoutsSplitAndLengthsNeverRunPastThePacket) {
  const std::vector<uint8_t> annexB = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 4, 5};
  const std::vector<TNalUnit> a = SplitAnnexB(annexB.data(), annexB.size());
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].H264Type(), 7);
  EXPECT_EQ(a[0].Size, 3u);  // the zero before the next start code is not the unit's
  EXPECT_EQ(a[1].H264Type(), 8);
  EXPECT_EQ(a[1].Size, 2u);
  EXPECT_EQ(a[2].H264Type(), 5);
  EXPECT_EQ(a[2].Size, 3u);

  TParams avc(AV_CODEC_ID_H264, kAvcC);
  const std::vector<uint8_t> prefixed = {0, 0, 0, 2, 0x06, 9, 0, 0, 0, 3, 0x65, 1, 2,
                                         0, 0, 0, 9, 0x41};  // the last length runs past the end
  const std::vector<TNalUnit> p = PacketNalUnits(prefixed.data(), prefixed.size(), avc.Par);
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].H264Type(), 6);
  EXPECT_EQ(p[1].H264Type(), 5);
  EXPECT_EQ(p[1].Size, 3u);
  // Without a configuration record the packet is read in start-code form.
  TParams raw(AV_CODEC_ID_H264, {});
  EXPECT_EQ(PacketNalUnits(annexB.data(), annexB.size(), raw.Par).size(), 3u);
}

TEST(NalUnits, CleanRandomAccessNeedsAKeyFrameThatResetsDecoding) {
  TParams avc(AV_CODEC_ID_H264, kAvcC);
  TPacket idr({0, 0, 0, 2, 0x09, 0x10, 0, 0, 0, 2, 0x65, 0x88}, true);
  TPacket recovery({0, 0, 0, 2, 0x06, 0x06, 0, 0, 0, 2, 0x61, 0x88}, true);  // SEI + non-IDR I
  TPacket unflagged({0, 0, 0, 2, 0x65, 0x88}, false);
  EXPECT_TRUE(IsH264Idr(idr.Pkt, avc.Par));
  EXPECT_TRUE(IsCleanRandomAccess(idr.Pkt, avc.Par));
  EXPECT_FALSE(IsCleanRandomAccess(recovery.Pkt, avc.Par));
  EXPECT_FALSE(IsCleanRandomAccess(unflagged.Pkt, avc.Par));

  // HEVC in start-code form: CRA (21) is a random-access picture, a trailing picture (1) not.
  TParams hevc(AV_CODEC_ID_HEVC, {});
  TPacket cra({0, 0, 1, 21 << 1, 1, 0xaf}, true);
  TPacket trail({0, 0, 1, 1 << 1, 1, 0xaf}, true);
  EXPECT_TRUE(IsCleanRandomAccess(cra.Pkt, hevc.Par));
  EXPECT_FALSE(IsCleanRandomAccess(trail.Pkt, hevc.Par));

  TParams mjpeg(AV_CODEC_ID_MJPEG, {});
  TPacket picture({0xff, 0xd8, 0xff, 0xd9}, true);
  EXPECT_TRUE(IsCleanRandomAccess(picture.Pkt, mjpeg.Par));
  TParams mpeg2(AV_CODEC_ID_MPEG2VIDEO, {});
  EXPECT_FALSE(IsCleanRandomAccess(picture.Pkt, mpeg2.Par));  // open groups are possible
}

TEST(NalUnits, RewritingChangesTheLayoutAndAddsSetsAndAnEndOfSequence) {
  // HEVC: access unit delimiter (35), then a CRA slice (21), in start-code form.
  const std::vector<uint8_t> annexB = {0, 0, 0, 1, 35 << 1, 1, 0x50, 0, 0, 1, 21 << 1, 1, 0xaf, 0x10};
  const std::vector<std::vector<uint8_t>> sets = {{32 << 1, 1, 7}, {33 << 1, 1, 8, 9}};
  TNalRewrite how;
  how.OutLength = 2;
  how.Prepend = &sets;
  how.AppendHevcEndOfSequence = true;
  std::vector<uint8_t> out;
  ASSERT_TRUE(RewriteNalUnits(annexB.data(), annexB.size(), how, &out));
  // The sets go after the delimiter, which stays first; the end of sequence goes last.
  const std::vector<uint8_t> want = {0, 3, 35 << 1, 1, 0x50, 0, 3, 32 << 1, 1, 7, 0, 4, 33 << 1, 1, 8, 9,
                                     0, 4, 21 << 1, 1, 0xaf, 0x10, 0, 2, 36 << 1, 1};
  EXPECT_EQ(out, want);
  // And back to start codes, unchanged otherwise.
  TNalRewrite back;
  back.InLength = 2;
  std::vector<uint8_t> again;
  ASSERT_TRUE(RewriteNalUnits(out.data(), out.size(), back, &again));
  EXPECT_EQ(SplitAnnexB(again.data(), again.size()).size(), 5u);
  EXPECT_EQ(std::vector<uint8_t>(again.begin(), again.begin() + 7), std::vector<uint8_t>({0, 0, 0, 1, 35 << 1, 1, 0x50}));

  // H.264 parameter sets left out; a unit too long for a 1-byte length refuses.
  std::vector<uint8_t> h264 = {0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 0, 1, 0x65};
  TNalRewrite strip;
  strip.OutLength = 4;
  strip.DropH264Sets = true;
  ASSERT_TRUE(RewriteNalUnits(h264.data(), h264.size(), strip, &out));
  EXPECT_EQ(out, std::vector<uint8_t>({0, 0, 0, 1, 0x65}));
  h264.insert(h264.end(), 300, 0x11);
  strip.OutLength = 1;
  EXPECT_FALSE(RewriteNalUnits(h264.data(), h264.size(), strip, &out));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
