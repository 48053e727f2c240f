// MPEG-TS files whose timestamps wrap, and one whose audio stream appears late.
#include <memory>
#include <stdexcept>
#include <string>

#include "FixtureHooks.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

struct InputCloser {
  void operator()(AVFormatContext* ic) const { avformat_close_input(&ic); }
};
struct MuxerFree {
  void operator()(AVFormatContext* oc) const { avformat_free_context(oc); }
};
struct IOCloser {
  void operator()(AVIOContext* pb) const { avio_closep(&pb); }
};
using MuxerPtr = std::unique_ptr<AVFormatContext, MuxerFree>;

void Must(int ret, const std::string& what) {
  if (ret < 0) throw std::runtime_error("fixture generation: " + what);
}

// A TS muxer on the shared file with copies of the given input streams (-1: none), under its
// own program table version.
MuxerPtr OpenTsSegment(AVFormatContext* ic, AVIOContext* pb, int video, int audio, int version) {
  AVFormatContext* raw = nullptr;
  Must(avformat_alloc_output_context2(&raw, nullptr, "mpegts", nullptr), "mpegts muxer");
  MuxerPtr oc(raw);
  oc->pb = pb;
  for (int index : {video, audio}) {
    if (index < 0) continue;
    AVStream* st = avformat_new_stream(oc.get(), nullptr);
    if (!st) throw std::runtime_error("fixture generation: new stream");
    Must(avcodec_parameters_copy(st->codecpar, ic->streams[index]->codecpar), "parameters");
    st->codecpar->codec_tag = 0;
    st->time_base = AVRational{1, 90000};
  }
  AVDictionary* opts = nullptr;
  av_dict_set_int(&opts, "tables_version", version, 0);
  const int ret = avformat_write_header(oc.get(), &opts);
  av_dict_free(&opts);
  Must(ret, "write header");
  return oc;
}

}  // namespace

void WriteLateAudioTs(const std::string& source, const std::string& path, double audioFrom) {
  AVFormatContext* raw = nullptr;
  Must(avformat_open_input(&raw, source.c_str(), nullptr, nullptr), "open " + source);
  std::unique_ptr<AVFormatContext, InputCloser> ic(raw);
  Must(avformat_find_stream_info(ic.get(), nullptr), "stream info");
  const int video = av_find_best_stream(ic.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio = av_find_best_stream(ic.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  Must(video < 0 || audio < 0 ? -1 : 0, "video and audio in " + source);
  AVIOContext* io = nullptr;
  Must(avio_open(&io, path.c_str(), AVIO_FLAG_WRITE), "open " + path);
  std::unique_ptr<AVIOContext, IOCloser> pb(io);
  MuxerPtr oc = OpenTsSegment(ic.get(), io, video, -1, 0);
  bool late = false;
  int64_t base = AV_NOPTS_VALUE;
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                     [](AVPacket* p) { av_packet_free(&p); });
  while (av_read_frame(ic.get(), pkt.get()) >= 0) {
    const AVStream* in = ic->streams[pkt->stream_index];
    av_packet_rescale_ts(pkt.get(), in->time_base, AVRational{1, 90000});
    // Plain times from 1.4 s on, whatever the source's wrap.
    if (base == AV_NOPTS_VALUE) base = pkt->dts - 126000;
    pkt->dts -= base;
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts -= base;
    if (!late && pkt->dts >= 126000 + static_cast<int64_t>(audioFrom * 90000)) {
      Must(av_write_trailer(oc.get()), "write trailer");
      oc = OpenTsSegment(ic.get(), io, video, audio, 1);
      late = true;
    }
    if (pkt->stream_index == video || (late && pkt->stream_index == audio)) {
      pkt->stream_index = pkt->stream_index == video ? 0 : 1;
      Must(av_interleaved_write_frame(oc.get(), pkt.get()), "write packet");
    }
    av_packet_unref(pkt.get());
  }
  Must(av_write_trailer(oc.get()), "write trailer");
}
