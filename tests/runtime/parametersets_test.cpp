// Parameter sets of real H.264 and HEVC streams: what the configuration records hold, and a
// merged avcC that one decoder takes for pictures of two encoders.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "runtime/FFOwners.h"
#include "runtime/NalUnits.h"
#include "runtime/ParameterSets.h"
#include "support/Fixtures.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

TInputFormatPtr OpenFile(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  TInputFormatPtr ic(raw);
  if (avformat_find_stream_info(ic.get(), nullptr) < 0) return nullptr;
  return ic;
}

// The video packets of a file from its start up to (not including) its second key frame.
std::vector<TPacketPtr> FirstGroup(AVFormatContext* ic, int stream) {
  std::vector<TPacketPtr> out;
  TPacketPtr pkt(av_packet_alloc());
  while (av_read_frame(ic, pkt.get()) >= 0) {
    if (pkt->stream_index == stream) {
      if (!out.empty() && (pkt->flags & AV_PKT_FLAG_KEY)) break;
      out.emplace_back(av_packet_clone(pkt.get()));
    }
    av_packet_unref(pkt.get());
  }
  return out;
}

// Pictures numbered first, first + 1, ... encoded with the named encoder (global header).
struct TEncoded {
  TCodecContextPtr Ctx;
  std::vector<TPacketPtr> Packets;
};

TEncoded Encode(const char* name, int width, int height, AVPixelFormat format, const char* key,
                const std::string& params, int first, int count) {
  TEncoded e;
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (!codec) return e;
  e.Ctx.reset(avcodec_alloc_context3(codec));
  AVCodecContext* c = e.Ctx.get();
  c->width = width;
  c->height = height;
  c->pix_fmt = format;
  c->time_base = {1, 25};
  c->framerate = {25, 1};
  c->max_b_frames = 0;
  c->gop_size = 1000;
  c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, key, params.c_str(), 0);
  const int r = avcodec_open2(c, codec, &opts);
  av_dict_free(&opts);
  if (r < 0) {
    e.Ctx.reset();
    return e;
  }
  TFramePtr frame(av_frame_alloc());
  frame->format = format;
  frame->width = width;
  frame->height = height;
  av_frame_get_buffer(frame.get(), 0);
  for (int p = 0; p < AV_NUM_DATA_POINTERS && frame->buf[p]; p++)
    std::fill(frame->buf[p]->data, frame->buf[p]->data + frame->buf[p]->size, 0);
  TPacketPtr pkt(av_packet_alloc());
  for (int i = 0; i <= count; i++) {
    if (i < count) {
      av_frame_make_writable(frame.get());
      DrawFrameNumber(frame.get(), first + i);
      frame->pts = i;
    }
    avcodec_send_frame(c, i < count ? frame.get() : nullptr);
    while (avcodec_receive_packet(c, pkt.get()) >= 0) e.Packets.emplace_back(av_packet_clone(pkt.get()));
  }
  return e;
}

// An Annex B packet as 4-byte length-prefixed units, its parameter sets left out.
TPacketPtr LengthPrefixed(const AVPacket* pkt) {
  std::vector<uint8_t> out;
  for (const TNalUnit& nal : SplitAnnexB(pkt->data, static_cast<size_t>(pkt->size))) {
    if (nal.H264Type() == 7 || nal.H264Type() == 8) continue;
    for (int i = 3; i >= 0; i--) out.push_back(static_cast<uint8_t>(nal.Size >> (8 * i)));
    out.insert(out.end(), nal.Data, nal.Data + nal.Size);
  }
  TPacketPtr p(av_packet_alloc());
  av_new_packet(p.get(), static_cast<int>(out.size()));
  std::copy(out.begin(), out.end(), p->data);
  av_packet_copy_props(p.get(), pkt);
  return p;
}

// The numbers the pictures show, decoded in order by one H.264 decoder set up with extradata.
std::vector<int> DecodeNumbers(const std::vector<uint8_t>& extradata,
                               const std::vector<const AVPacket*>& packets, AVPixelFormat* format) {
  std::vector<int> numbers;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  TCodecContextPtr dec(avcodec_alloc_context3(codec));
  dec->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::copy(extradata.begin(), extradata.end(), dec->extradata);
  dec->extradata_size = static_cast<int>(extradata.size());
  dec->thread_count = 1;
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) return numbers;
  TFramePtr frame(av_frame_alloc());
  for (size_t i = 0; i <= packets.size(); i++) {
    avcodec_send_packet(dec.get(), i < packets.size() ? packets[i] : nullptr);
    while (avcodec_receive_frame(dec.get(), frame.get()) >= 0) {
      numbers.push_back(ReadFrameNumber(frame.get()));
      *format = static_cast<AVPixelFormat>(frame->format);
      av_frame_unref(frame.get());
    }
  }
  return numbers;
}

}  // namespace

TEST(ParameterSets, ExpGolombNumbersAndTheirEnd) {
  // 1 | 010 | 011 | 00111 | 0001000 : 0, 1, 2, 6, 7, then a number cut short.
  const uint8_t bits[] = {0xa6, 0x71, 0x00, 0x00};
  TBitReader r(bits, sizeof bits);
  unsigned v = 99;
  for (unsigned want : {0u, 1u, 2u, 6u, 7u}) {
    ASSERT_TRUE(r.Ue(&v));
    EXPECT_EQ(v, want);
  }
  EXPECT_FALSE(r.Ue(&v));
  EXPECT_EQ(r.Bit(), -1);
}

TEST(ParameterSets, AnMp4DecoderConfigurationHoldsTheStreamsSets) {
  TInputFormatPtr ic = OpenFile(FixturePath(FixtureKind::H264Mp4));
  ASSERT_TRUE(ic);
  const int v = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(v, 0);
  const AVCodecParameters* par = ic->streams[v]->codecpar;
  TH264Config c;
  ASSERT_TRUE(ParseH264Config(par->extradata, static_cast<size_t>(par->extradata_size), &c));
  EXPECT_TRUE(c.Avcc);
  EXPECT_EQ(c.LengthSize, 4);
  EXPECT_EQ(NalLengthSize(par), 4);
  ASSERT_EQ(c.Sps.size(), 1u);
  ASSERT_EQ(c.Pps.size(), 1u);
  EXPECT_EQ(c.Ids, std::set<unsigned>{0});
  // The SPS's profile and level bytes are what libavcodec reports for the stream.
  ASSERT_GE(c.Sps[0].size(), 4u);
  EXPECT_EQ(c.Sps[0][0] & 0x1f, 7);
  EXPECT_EQ(c.Sps[0][1], par->profile & 0xff);
  EXPECT_EQ(c.Sps[0][3], par->level);
  // A record cut inside its SPS is refused.
  TH264Config cut;
  EXPECT_FALSE(ParseH264Config(par->extradata, 10, &cut));
}

TEST(ParameterSets, AnEncodersSetsGiveTheIdsItWasToldToUse) {
  for (unsigned id : {0u, 5u, 31u}) {
    SCOPED_TRACE(id);
    TEncoded e = Encode("libx264", 64, 48, AV_PIX_FMT_YUV420P10LE, "x264-params",
                        "sps-id=" + std::to_string(id) + ":log=-1", 0, 1);
    if (!e.Ctx) GTEST_SKIP() << "libx264 is not available";
    TH264Config c;
    ASSERT_TRUE(ParseH264Config(e.Ctx->extradata, static_cast<size_t>(e.Ctx->extradata_size), &c));
    EXPECT_FALSE(c.Avcc);  // libx264 gives its headers in start-code form
    ASSERT_EQ(c.Sps.size(), 1u);
    ASSERT_EQ(c.Pps.size(), 1u);
    EXPECT_EQ(c.Ids, std::set<unsigned>{id});
    EXPECT_EQ(c.Sps[0][1], FF_PROFILE_H264_HIGH_10);
  }
}

TEST(ParameterSets, AMergedConfigurationDecodesPicturesOfBothEncoders) {
  TInputFormatPtr ic = OpenFile(FixturePath(FixtureKind::H264Mp4));
  ASSERT_TRUE(ic);
  const int v = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodecParameters* par = ic->streams[v]->codecpar;
  TH264Config src;
  ASSERT_TRUE(ParseH264Config(par->extradata, static_cast<size_t>(par->extradata_size), &src));
  const std::vector<TPacketPtr> group = FirstGroup(ic.get(), v);
  ASSERT_GT(group.size(), 1u);

  // Pictures of another encoder, with ids of their own, go before and after the source's.
  TEncoded added = Encode("libx264", par->width, par->height, static_cast<AVPixelFormat>(par->format),
                          "x264-params", "sps-id=1:log=-1", 1000, 3);
  if (!added.Ctx) GTEST_SKIP() << "libx264 is not available";
  TH264Config enc;
  ParseH264Config(added.Ctx->extradata, static_cast<size_t>(added.Ctx->extradata_size), &enc);
  std::vector<TPacketPtr> encoded;
  for (const TPacketPtr& p : added.Packets) encoded.push_back(LengthPrefixed(p.get()));

  for (bool addedFirst : {true, false}) {
    SCOPED_TRACE(addedFirst);
    const std::vector<uint8_t> merged = BuildAvcC(src, enc, addedFirst);
    TH264Config back;
    ASSERT_TRUE(ParseH264Config(merged.data(), merged.size(), &back));
    EXPECT_TRUE(back.Avcc);
    EXPECT_EQ(back.LengthSize, src.LengthSize);
    EXPECT_EQ(back.Ids, (std::set<unsigned>{0, 1}));
    ASSERT_EQ(back.Sps.size(), 2u);
    ASSERT_EQ(back.Pps.size(), 2u);
    EXPECT_EQ(back.Sps[0], addedFirst ? enc.Sps[0] : src.Sps[0]);
    EXPECT_EQ(back.Trailer, src.Trailer);
    EXPECT_EQ(merged[1], (addedFirst ? enc : src).Sps[0][1]);

    std::vector<const AVPacket*> order;
    std::vector<int> want;
    auto addEncoded = [&] {
      for (const TPacketPtr& p : encoded) order.push_back(p.get());
      for (int i = 0; i < 3; i++) want.push_back(1000 + i);
    };
    if (addedFirst) addEncoded();
    for (const TPacketPtr& p : group) order.push_back(p.get());
    for (int i = 0; i < static_cast<int>(group.size()); i++) want.push_back(i);
    if (!addedFirst) addEncoded();
    AVPixelFormat format = AV_PIX_FMT_NONE;
    EXPECT_EQ(DecodeNumbers(merged, order, &format), want);
    EXPECT_EQ(format, par->format);
  }
}

TEST(ParameterSets, AnHevcConfigurationRecordGivesTheNalLengthSize) {
  TEncoded e = Encode("libx265", 64, 64, AV_PIX_FMT_YUV420P, "x265-params", "log-level=none:scenecut=0", 0, 3);
  if (!e.Ctx) GTEST_SKIP() << "libx265 is not available";
  // The encoder's own headers are in start-code form; an MP4 file stores them as hvcC.
  AVCodecParameters* raw = avcodec_parameters_alloc();
  avcodec_parameters_from_context(raw, e.Ctx.get());
  EXPECT_EQ(NalLengthSize(raw), 0);
  avcodec_parameters_free(&raw);

  const std::string path = (std::filesystem::path(testing::TempDir()) /
                            ("parametersets_" + std::to_string(getpid()) + ".mp4")).string();
  {
    AVFormatContext* oc = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&oc, nullptr, "mp4", path.c_str()), 0);
    TOutputFormatPtr out(oc);
    AVStream* st = avformat_new_stream(oc, nullptr);
    avcodec_parameters_from_context(st->codecpar, e.Ctx.get());
    st->time_base = e.Ctx->time_base;
    ASSERT_GE(avio_open(&oc->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(oc, nullptr), 0);
    for (const TPacketPtr& p : e.Packets) {
      TPacketPtr copy(av_packet_clone(p.get()));
      copy->stream_index = st->index;
      av_packet_rescale_ts(copy.get(), e.Ctx->time_base, st->time_base);
      ASSERT_GE(av_interleaved_write_frame(oc, copy.get()), 0);
    }
    ASSERT_GE(av_write_trailer(oc), 0);
  }
  TInputFormatPtr ic = OpenFile(path);
  ASSERT_TRUE(ic);
  const AVCodecParameters* par = ic->streams[0]->codecpar;
  EXPECT_EQ(NalLengthSize(par), 4);
  // The same VPS, SPS and PPS from the hvcC as from the encoder's start-code form.
  const auto sets = HevcParameterSets(par->extradata, static_cast<size_t>(par->extradata_size));
  ASSERT_EQ(sets.size(), 3u);
  for (int i = 0; i < 3; i++) EXPECT_EQ((sets[static_cast<size_t>(i)][0] >> 1) & 0x3f, 32 + i);
  EXPECT_EQ(sets, HevcParameterSets(e.Ctx->extradata, static_cast<size_t>(e.Ctx->extradata_size)));
  const std::vector<TPacketPtr> group = FirstGroup(ic.get(), 0);
  std::filesystem::remove(path);
  ASSERT_EQ(group.size(), 3u);
  // With the right length size the units fill each packet exactly.
  for (const TPacketPtr& p : group) {
    size_t covered = 0;
    for (const TNalUnit& nal : PacketNalUnits(p->data, static_cast<size_t>(p->size), par)) covered += 4 + nal.Size;
    EXPECT_EQ(covered, static_cast<size_t>(p->size));
  }
  EXPECT_TRUE(IsCleanRandomAccess(group[0].get(), par));
  EXPECT_FALSE(IsCleanRandomAccess(group[1].get(), par));
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
