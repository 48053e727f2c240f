// The frame-exact copy's encoded parts: decoding from the key frame before a part, encoding its
// pictures, and the worker thread that does it beside the run's own reading.
#include "job/ExactCopyPart.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "runtime/MediaTexts.h"

namespace exactcopy {

namespace {

TCodecContextPtr OpenDecoder(const AVStream* st) {
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) throw std::runtime_error("No decoder for the video stream");
  TCodecContextPtr c(avcodec_alloc_context3(codec));
  if (!c) throw std::bad_alloc();
  avcodec_parameters_to_context(c.get(), st->codecpar);
  c->pkt_timebase = st->time_base;
  // The quantizers of H.263 pictures, which their encoding again repeats.
  c->export_side_data |= AV_CODEC_EXPORT_DATA_VIDEO_ENC_PARAMS;
  const int r = avcodec_open2(c.get(), codec, nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(std::string("Cannot open the decoder ") + codec->name, r));
  return c;
}

}  // namespace

void Rewrite(AVPacket* pkt, const TNalRewrite& how) {
  std::vector<uint8_t> out;
  if (!RewriteNalUnits(pkt->data, static_cast<size_t>(pkt->size), how, &out))
    throw std::runtime_error("A picture is too big for the stream's NAL length size");
  TPacketPtr copy = NewPacket();
  if (av_new_packet(copy.get(), static_cast<int>(out.size())) < 0) throw std::bad_alloc();
  std::copy(out.begin(), out.end(), copy->data);
  av_packet_copy_props(copy.get(), pkt);
  av_packet_unref(pkt);
  av_packet_move_ref(pkt, copy.get());
}

// -------------------------------------------------------------------------------------------
// TPartCoder

TPartCoder::TPartCoder(const TLayout& L, const TEncoderSetup& setup, int outLength, bool head, bool aside)
    : FL(L), FSetup(setup), FOutLength(outLength), FWant(head ? L.headPts : L.tailPts),
      FUntil(head ? L.headUntil : (L.tailPts.empty() ? INT64_MIN : *L.tailPts.rbegin())) {
  if (aside) FEncoder = std::thread([this] { EncodeAside(); });
}

TPartCoder::~TPartCoder() {
  if (!FEncoder.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FQueue.clear();
    FEnd = true;
  }
  FCv.notify_all();
  FEncoder.join();
}

void TPartCoder::EncodeAside() {
  try {
    for (;;) {
      TFramePtr frame;
      {
        std::unique_lock<std::mutex> lock(FMutex);
        FCv.wait(lock, [this] { return !FQueue.empty() || FEnd; });
        if (FQueue.empty()) break;
        frame = std::move(FQueue.front());
        FQueue.pop_front();
      }
      FCv.notify_all();
      Encode(frame.get());
    }
    if (FEnc) Encode(nullptr);
  } catch (...) {
    std::lock_guard<std::mutex> lock(FMutex);
    FError = std::current_exception();
    FFailed = true;
    FQueue.clear();
  }
  FCv.notify_all();
}

void TPartCoder::Hand(AVFrame* frame) {
  if (!FEncoder.joinable()) {
    Encode(frame);
    return;
  }
  TFramePtr copy(av_frame_alloc());
  if (!copy) throw std::bad_alloc();
  av_frame_move_ref(copy.get(), frame);
  std::unique_lock<std::mutex> lock(FMutex);
  FCv.wait(lock, [this] { return FQueue.size() < kAhead || FFailed; });
  if (FFailed) return;  // Finish tells why
  FQueue.push_back(std::move(copy));
  lock.unlock();
  FCv.notify_all();
}

void TPartCoder::Encode(AVFrame* frame) {
  std::string e;
  if (!FEnc) {
    // One encoder opens at a time: x265 sets up its thread pools from libnuma's node masks,
    // which libnuma fills in on first use without a lock.
    static std::mutex opening;
    std::lock_guard<std::mutex> lock(opening);
    FEnc = OpenEncoder(FSt, FSetup, frame, &e);
    if (!FEnc) throw std::runtime_error(e);
    FHow.OutLength = FOutLength;
    if (FSt->codecpar->codec_id == AV_CODEC_ID_H264 && FSetup.globalHeader) {
      // The parameter sets are in the decoder configuration.
      FHow.OutLength = FSetup.srcConfig.LengthSize;
      FHow.DropH264Sets = true;
    }
  }
  if (frame) {
    if (FSt->codecpar->codec_id == AV_CODEC_ID_H263) frame->quality = SourceQuality(frame, FEnc->global_quality);
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->pts = av_rescale_q(frame->pts - FL.firstPts, FSt->time_base, FEnc->time_base);
    const int width = frame->width, height = frame->height;
    bool changed = false;
    frame = FFit.Fit(FEnc.get(), frame, &changed);
    if (changed && FNote.empty())
      FNote = FormatText("Pictures of %dx%d in a stream of %dx%d: scaled to be encoded.", width, height,
                         FEnc->width, FEnc->height);
  }
  int r = avcodec_send_frame(FEnc.get(), frame);
  if (r < 0 && r != AVERROR_EOF) throw std::runtime_error(ErrorText("Video encoding failed", r));
  TPacketPtr pkt = NewPacket();
  for (;;) {
    r = avcodec_receive_packet(FEnc.get(), pkt.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) throw std::runtime_error(ErrorText("Video encoding failed", r));
    av_packet_rescale_ts(pkt.get(), FEnc->time_base, FSt->time_base);
    pkt->dts = pkt->pts - FL.delay;
    if (FHow.OutLength || FHow.DropH264Sets) Rewrite(pkt.get(), FHow);
    FPackets.push_back(NewPacket());
    av_packet_move_ref(FPackets.back().get(), pkt.get());
  }
}

void TPartCoder::Feed(const AVStream* st, const AVPacket* pkt) {
  if (FDone || (!pkt && !FDec)) return;
  // The same stream throughout; the encoder thread reads it.
  if (!FSt) FSt = st;
  if (!FDec) FDec = OpenDecoder(st);
  int r = avcodec_send_packet(FDec.get(), pkt);
  if (r < 0 && r != AVERROR_EOF && r != AVERROR_INVALIDDATA)
    throw std::runtime_error(ErrorText("Video decoding failed", r));
  TFramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  for (;;) {
    r = avcodec_receive_frame(FDec.get(), frame.get());
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) throw std::runtime_error(ErrorText("Video decoding failed", r));
    const int64_t t = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    frame->pts = t;
    if (FWant.count(t)) Hand(frame.get());
    if (!FDone && t >= FUntil) Finish();
    av_frame_unref(frame.get());
  }
}

void TPartCoder::Finish() {
  if (FDone) return;
  FDone = true;
  if (!FEncoder.joinable()) {
    if (FEnc) Encode(nullptr);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FEnd = true;
  }
  FCv.notify_all();
  FEncoder.join();
  if (FError) std::rethrow_exception(FError);
}

// -------------------------------------------------------------------------------------------
// TPartControl

void TPartControl::Stop() {
  FStop = true;
  std::lock_guard<std::mutex> lock(FMutex);
  FCv.notify_all();
}

void TPartControl::Hold(bool held) {
  {
    std::lock_guard<std::mutex> lock(FMutex);
    FHeld = held;
  }
  if (!held) FCv.notify_all();
}

void TPartControl::WaitWhileHeld() {
  std::unique_lock<std::mutex> lock(FMutex);
  FCv.wait(lock, [this] { return !FHeld || FStop.load(); });
}

// -------------------------------------------------------------------------------------------
// TPartWorker

TPartWorker::TPartWorker(const std::string& path, const TLayout& L, const TEncoderSetup& setup,
                         int outLength, bool head, TPartControl& control)
    : FPath(path), FL(L), FFrom(head ? L.headFrom : L.tailFrom), FControl(control),
      FCoder(L, setup, outLength, head, true) {
  FThread = std::thread([this] { Run(); });
}

TPartWorker::~TPartWorker() {
  // The run's thread is here, not at its gate: the worker sees the abort at its next packet.
  FAbort = true;
  if (FThread.joinable()) FThread.join();
}

bool TPartWorker::Wait(int ms) {
  std::unique_lock<std::mutex> lock(FMutex);
  if (!FCv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FEnded; })) return false;
  lock.unlock();
  if (FThread.joinable()) FThread.join();
  if (FError) std::rethrow_exception(FError);
  return true;
}

void TPartWorker::Run() {
  try {
    TInput in;
    std::string error;
    if (!OpenInput(FPath, true, &in, &error)) throw std::runtime_error(error);
    Position(in, FL.seekTs, FPath, &error);
    Replay(in);
  } catch (...) {
    FError = std::current_exception();
  }
  std::lock_guard<std::mutex> lock(FMutex);
  FEnded = true;
  FCv.notify_all();
}

// The plan's reading again, as the run does it alone: the same first key frame, the same
// records; the part is fed from its first record on. Past the records it gets nothing more:
// the end of the input gives it its last pictures.
void TPartWorker::Replay(TInput& in) {
  const AVStream* st = in.ic->streams[in.v];
  const int n = static_cast<int>(FL.recs.size());
  TPacketPtr pkt = NewPacket();
  int idx = -1;
  while (!FCoder.Done()) {
    FControl.WaitWhileHeld();
    if (FControl.Stopping() || FAbort) {
      FStopped = true;
      break;
    }
    const int r = av_read_frame(in.ic.get(), pkt.get());
    if (r == AVERROR_EOF) break;
    if (r < 0) throw std::runtime_error(ErrorText(FPath, r));
    const bool video = pkt->stream_index == in.v;
    const bool first = (pkt->flags & AV_PKT_FLAG_KEY) && PacketTime(pkt.get()) != AV_NOPTS_VALUE;
    if (!video || (idx < 0 && !first)) {
      av_packet_unref(pkt.get());
      continue;
    }
    if (++idx >= n) {
      av_packet_unref(pkt.get());
      break;
    }
    if (PacketTime(pkt.get()) != FL.recs[static_cast<size_t>(idx)].pts)
      throw std::runtime_error(FPath + ": the file reads differently the second time");
    if (idx >= FFrom) FCoder.Feed(st, pkt.get());
    av_packet_unref(pkt.get());
  }
  if (!FCoder.Done() && !FStopped) {
    FNeededEnd = true;
    FCoder.Feed(st, nullptr);
  }
  FCoder.Finish();
}

}  // namespace exactcopy
