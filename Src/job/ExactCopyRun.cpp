// The frame-exact copy's run. The range's video is three parts in decode order: the head (pictures
// before the first copied key frame, decoded from the key frame before the start and encoded
// again), the copied packets, and the tail (pictures after the last copied packet, encoded
// again). Each encoded part starts with a key frame of its own and its own parameter sets, so
// one stream decodes across both joins: H.264's take ids the source does not use; HEVC's
// replace the source's in band, and an end of sequence closes each part before a join.
// It takes the plan (ExactCopyPlan.h), decodes and encodes the head and the tail, copies the
// packets between, and writes it all to the output through the safe-write path. The head and
// the tail are encoded at the same time on two worker threads (ExactCopyPart.h), each reading
// the input by itself; the output is written in order from their results, the same bytes as
// when the run does it all alone on its own thread.
#include "job/ExactCopyPart.h"
#include "job/ExactCopyPlan.h"
#include "job/SegmentChapters.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <memory>
#include <stdexcept>

#include "runtime/FFLog.h"
#include "runtime/MediaTexts.h"
#include "runtime/NalUnits.h"
#include "runtime/SafeWrite.h"
#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavutil/time.h>
}

using namespace exactcopy;

namespace {

// An output stream with the parameters and time base of an input stream (its codec tag left
// for the muxer to choose).
AVStream* NewStreamLike(AVFormatContext* oc, const AVStream* in) {
  AVStream* st = avformat_new_stream(oc, nullptr);
  if (!st) throw std::bad_alloc();
  avcodec_parameters_copy(st->codecpar, in->codecpar);
  st->codecpar->codec_tag = 0;
  st->time_base = in->time_base;
  // Rotation, colour and HDR metadata the container keeps for the stream.
  if (!CopyStreamSideData(in, st)) throw std::bad_alloc();
  return st;
}

// -------------------------------------------------------------------------------------------
// The run

class TExactRun {
public:
  TExactRun(const std::string& input, const std::string& output,
            const std::vector<TExactCopyOptions>& ranges, const std::vector<std::string>& chapters,
            const TExactCopyHost& host)
      : FInput(input), FOutput(output), FRanges(ranges), FChapters(chapters), FHost(host) {}

  bool Run(std::vector<TExactCopyPlan>* plans, std::string* error);

private:
  bool Prepare(std::vector<TExactCopyPlan>* plans, std::string* error);
  int64_t RangeLength(const TLayout& L) const;
  bool RunRange(size_t k, std::string* error);  // false after a stop
  void StartRange(size_t k);
  void AddChapters();
  void FinishTail();
  void Log(int level, const std::string& s) {
    if (FHost.Log) FHost.Log(level, s);
  }
  bool Stopped() { return FHost.StopRequested && FHost.StopRequested(); }
  void PassGate();
  bool Await(TPartWorker& worker);  // false once a stop was asked
  bool ReadRange(std::string* error);  // false after a stop
  bool RangeRead(int idx, int n) const;
  void FeedParts(int idx, const AVPacket* pkt);
  void EndRange(bool stopped);
  void OpenOutput();
  void FinishHead();
  void EmitVideo(AVPacket* pkt);  // pkt timestamps in the source's video time base, output clock
  void WriteAudio(AVPacket* pkt);
  void DrainTail(bool force);
  void CloseSequence(AVPacket* pkt);            // HEVC: an end of sequence after the picture
  void PrepareCopied(AVPacket* pkt, int idx);  // HEVC: the sets and ends at the joins

  std::string FInput, FOutput;
  std::vector<TExactCopyOptions> FRanges;
  std::vector<std::string> FChapters;  // one title per range, or none
  const TExactCopyHost& FHost;
  TInput FIn;
  std::vector<TLayout> FLayouts;
  std::vector<int64_t> FOffsets;  // where each range starts in the output, video time base
  TLayout FL;                     // the range being run
  bool FMoreRanges = false;       // another range follows the one being run
  TEncoderSetup FSetup;
  TSafeFile FFile;
  TOutputFormatPtr FOc;
  AVStream* FOv = nullptr;
  AVStream* FOa = nullptr;
  // Both encoded parts at once on workers, else one after the other on this thread.
  bool FParallel = true;
  std::unique_ptr<TPartControl> FControl;
  std::unique_ptr<TPartCoder> FHeadOwn, FTailOwn;
  std::unique_ptr<TPartWorker> FHeadWorker, FTailWorker;
  TPartCoder* FHead = nullptr;  // the range's parts, null when it has none
  TPartCoder* FTail = nullptr;
  bool FHeadDone = false, FTailDone = false;  // their packets are the run's
  bool FHeadWhole = true;   // not cut short by a stop
  bool FReadToEnd = false;  // a worker's part ended only at the input's end: so does the reading
  std::deque<TPacketPtr> FPendingCopy;  // copied packets waiting for the head
  bool FCopyDone = false;
  int64_t FLastDts = INT64_MIN;
  int FPictures = 0;
  int64_t FPosition = 0;
  int64_t FLastProgress = INT64_MIN;
  int64_t FDuration = 0;
  int64_t FFileSize = 0;
  int64_t FFrameTicks = 0;  // one picture's length in the video time base
  bool FHevc = false;
  int FOutLength = 0;          // HEVC: the output's NAL length size, 0 for start codes
  bool FFirstCopy = true;
  int64_t FAudioStart = 0, FAudioEnd = INT64_MAX;  // audio stream time base
  // Later ranges: their sound goes on where the last one's ended, shifted by less than half a
  // packet so that it keeps to the pictures.
  int64_t FAudioOffset = 0, FAudioShift = INT64_MIN, FAudioNext = INT64_MIN;
  size_t FRange = 0;
  std::string FError;
};

void TExactRun::OpenOutput() {
  std::string err;
  if (!FFile.Open(FOutput, {FInput}, false, &err)) throw std::runtime_error(err);
  const AVOutputFormat* ofmt = CopyOutputFormat(FOutput, FIn);
  if (!ofmt) throw std::runtime_error(FOutput + ": no container is known for this file name");
  const std::string url = FileNameToURL(FFile.TempPath());
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, ofmt, nullptr, url.c_str()) < 0 || !oc) throw std::bad_alloc();
  FOc.reset(oc);
  InstallUnicodeIO(oc);
  const AVStream* iv = FIn.ic->streams[FIn.v];
  FOv = NewStreamLike(oc, iv);
  FOv->avg_frame_rate = iv->avg_frame_rate;
  // The muxer refuses a header whose two aspect ratios differ; the container's wins, as the
  // decoder shows it.
  const AVRational sar = iv->sample_aspect_ratio.num > 0 ? iv->sample_aspect_ratio
                                                         : iv->codecpar->sample_aspect_ratio;
  FOv->sample_aspect_ratio = sar;
  FOv->codecpar->sample_aspect_ratio = sar;
  if (FIn.a >= 0) {
    // Sound the container cannot hold (or that nothing here knows) is left out, not fatal.
    const AVCodecID id = FIn.ic->streams[FIn.a]->codecpar->codec_id;
    if (id == AV_CODEC_ID_NONE || avformat_query_codec(ofmt, id, FF_COMPLIANCE_NORMAL) == 0) {
      const AVCodecDescriptor* d = avcodec_descriptor_get(id);
      Log(llWarning, FormatText("The sound (%s) cannot be kept in this container; the copy has none.",
                                d ? d->name : "unknown codec"));
    } else {
      FOa = NewStreamLike(oc, FIn.ic->streams[FIn.a]);
    }
  }
  if (iv->codecpar->codec_id == AV_CODEC_ID_HEVC) {
    // Parameter sets change in band at the joins: the sample entry that allows it.
    const unsigned hev1 = MKTAG('h', 'e', 'v', '1');
    if (ofmt->codec_tag && av_codec_get_id(ofmt->codec_tag, hev1) == AV_CODEC_ID_HEVC)
      FOv->codecpar->codec_tag = hev1;
    FOutLength = NalLengthSize(FOv->codecpar);
  }
  // Both sets of parameter sets in the decoder configuration.
  if (iv->codecpar->codec_id == AV_CODEC_ID_H264 && FSetup.globalHeader) {
    std::string e;
    TCodecContextPtr probe = OpenEncoder(iv, FSetup, nullptr, &e);
    if (!probe) throw std::runtime_error(e);
    TH264Config added;
    ParseH264Config(probe->extradata, static_cast<size_t>(probe->extradata_size), &added);
    if (added.Sps.empty() || added.Pps.empty())
      throw std::runtime_error("The encoder gave no parameter sets");
    const std::vector<uint8_t> avcc = BuildAvcC(FSetup.srcConfig, added, FL.headFrom >= 0);
    av_freep(&FOv->codecpar->extradata);
    FOv->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!FOv->codecpar->extradata) throw std::bad_alloc();
    std::copy(avcc.begin(), avcc.end(), FOv->codecpar->extradata);
    FOv->codecpar->extradata_size = static_cast<int>(avcc.size());
  }
  AddChapters();
  int r = FOc->io_open(FOc.get(), &FOc->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
  // Encoded parts may lag the audio by a whole group of pictures: interleave without a limit.
  FOc->max_interleave_delta = 0;
  r = avformat_write_header(FOc.get(), nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput + ": cannot write the header", r));
}

void TExactRun::EmitVideo(AVPacket* pkt) {
  pkt->pts += FOffsets[FRange];
  if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += FOffsets[FRange];
  // Decoding times stay below the presentation times and keep rising across the joins.
  if (pkt->dts == AV_NOPTS_VALUE || pkt->dts <= FLastDts) pkt->dts = FLastDts == INT64_MIN ? pkt->pts : FLastDts + 1;
  FLastDts = pkt->dts;
  const int64_t end = pkt->pts + (pkt->duration > 0 ? pkt->duration : FFrameTicks);
  pkt->stream_index = FOv->index;
  av_packet_rescale_ts(pkt, FIn.ic->streams[FIn.v]->time_base, FOv->time_base);
  const int r = av_interleaved_write_frame(FOc.get(), pkt);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
  FPictures++;
  FPosition = std::max(FPosition, av_rescale_q(end, FIn.ic->streams[FIn.v]->time_base, AV_TIME_BASE_Q));
  const int64_t now = av_gettime_relative();
  if (FHost.Progress && (FLastProgress == INT64_MIN || now - FLastProgress >= 100000)) {
    FLastProgress = now;
    TExactCopyProgress p;
    p.Pictures = FPictures;
    p.Position = FPosition;
    p.Duration = FDuration;
    p.Size = FOc->pb ? avio_tell(FOc->pb) : 0;
    FHost.Progress(p);
  }
}

void TExactRun::WriteAudio(AVPacket* pkt) {
  const int64_t t = PacketTime(pkt);
  if (t == AV_NOPTS_VALUE || t >= FAudioEnd) return;
  if (FRange == 0 && t < FAudioStart) return;
  const AVCodecParameters* par = FIn.ic->streams[FIn.a]->codecpar;
  int64_t length = pkt->duration;
  if (length <= 0 && par->frame_size > 0 && par->sample_rate > 0)
    length = av_rescale_q(par->frame_size, AVRational{1, par->sample_rate}, FIn.ic->streams[FIn.a]->time_base);
  const int64_t ideal = t - FAudioStart + FAudioOffset;
  if (FAudioShift == INT64_MIN) {
    // A later range's sound begins with the packet whose place is nearest to where the sound
    // so far ends, and goes on from there.
    if (FRange > 0 && FAudioNext != INT64_MIN && ideal < FAudioNext - length / 2) return;
    FAudioShift = FRange == 0 || FAudioNext == INT64_MIN ? 0 : FAudioNext - ideal;
  }
  const int64_t shift = FAudioOffset - FAudioStart + FAudioShift;
  FAudioNext = std::max(FAudioNext, t + shift + std::max<int64_t>(length, 0));
  pkt->pts = pkt->pts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : pkt->pts + shift;
  pkt->dts = pkt->dts == AV_NOPTS_VALUE ? AV_NOPTS_VALUE : pkt->dts + shift;
  pkt->stream_index = FOa->index;
  av_packet_rescale_ts(pkt, FIn.ic->streams[FIn.a]->time_base, FOa->time_base);
  const int r = av_interleaved_write_frame(FOc.get(), pkt);
  if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
}

void TExactRun::FinishTail() {
  FTailDone = true;
  FTail->Finish();
  if (!FTail->Note().empty()) Log(llWarning, FTail->Note());
  // HEVC: the next range's sets follow in band.
  std::deque<TPacketPtr>& tail = FTail->Packets();
  if (FHevc && FMoreRanges && !tail.empty()) CloseSequence(tail.back().get());
}

void TExactRun::FinishHead() {
  if (FHeadDone) return;
  FHeadDone = true;
  FHead->Finish();
  if (!FHead->Note().empty()) Log(llWarning, FHead->Note());
  std::deque<TPacketPtr>& head = FHead->Packets();
  if (FHevc && !head.empty() && (FL.lastCopy >= 0 || FL.tailFrom >= 0 || FMoreRanges))
    CloseSequence(head.back().get());
  while (!head.empty()) {
    EmitVideo(head.front().get());
    head.pop_front();
  }
  while (!FPendingCopy.empty()) {
    EmitVideo(FPendingCopy.front().get());
    FPendingCopy.pop_front();
  }
}

void TExactRun::CloseSequence(AVPacket* pkt) {
  TNalRewrite how;
  how.InLength = how.OutLength = FOutLength;
  how.AppendHevcEndOfSequence = true;
  Rewrite(pkt, how);
}

void TExactRun::PrepareCopied(AVPacket* pkt, int idx) {
  if (!FHevc) return;
  TNalRewrite how;
  how.InLength = how.OutLength = NalLengthSize(FIn.ic->streams[FIn.v]->codecpar);
  // The first copied picture brings the source's sets back after the head's; the last closes
  // its sequence before the tail's.
  if (FFirstCopy && (FL.headFrom >= 0 || FRange > 0)) how.Prepend = &FSetup.hevcSets;
  how.AppendHevcEndOfSequence = idx == FL.lastCopy && (FL.tailFrom >= 0 || FMoreRanges);
  FFirstCopy = false;
  if (how.Prepend || how.AppendHevcEndOfSequence) Rewrite(pkt, how);
}

void TExactRun::DrainTail(bool force) {
  if (!FTail || (!FCopyDone && !force) || (FParallel && !FTailDone)) return;
  // The last packet waits for the end of the part, which may close its sequence.
  std::deque<TPacketPtr>& tail = FTail->Packets();
  while (tail.size() > (FTailDone || force ? 0u : 1u)) {
    EmitVideo(tail.front().get());
    tail.pop_front();
  }
}

void TExactRun::AddChapters() {
  const AVRational tb = FIn.ic->streams[FIn.v]->time_base;
  for (size_t k = 0; k < FRanges.size() && k < FChapters.size(); k++)
    AddChapter(FOc.get(), static_cast<int64_t>(k) + 1, tb, FOffsets[k], FOffsets[k + 1], FChapters[k]);
}

// From the range's first picture to the end of its last, which lasts as long as the one before
// it (a container's frame rate may be wrong); video time base.
int64_t TExactRun::RangeLength(const TLayout& L) const {
  std::vector<int64_t> pts;
  for (size_t i = 0; i < L.recs.size(); i++)
    if (L.part[i] != TPart::None) pts.push_back(L.recs[i].pts);
  std::sort(pts.begin(), pts.end());
  if (pts.empty()) return 0;
  const int64_t step = pts.size() > 1 ? pts.back() - pts[pts.size() - 2] : FFrameTicks;
  return pts.back() - L.firstPts + step;
}

bool TExactRun::Prepare(std::vector<TExactCopyPlan>* plans, std::string* error) {
  if (!OpenInput(FInput, FRanges.front().RemoveAudio, &FIn, error)) return false;
  const AVOutputFormat* ofmt = CopyOutputFormat(FOutput, FIn);
  plans->assign(FRanges.size(), TExactCopyPlan());
  if (!CheckCodec(FIn, ofmt, &FSetup, &plans->front())) {
    plans->front().Exact = false;
    plans->front().Reason = FSetup.reason;
    *error = ExactCopyFallbackText(plans->front());
    return false;
  }
  const AVStream* iv = FIn.ic->streams[FIn.v];
  FHevc = iv->codecpar->codec_id == AV_CODEC_ID_HEVC;
  const AVRational rate = iv->avg_frame_rate.num > 0 ? iv->avg_frame_rate : iv->r_frame_rate;
  FFrameTicks = rate.num > 0 ? av_rescale_q(1, av_inv_q(rate), iv->time_base) : 0;
  FOffsets.assign(1, 0);
  for (size_t k = 0; k < FRanges.size(); k++) {
    TExactCopyPlan& plan = (*plans)[k];
    if (k > 0) plan.CodecName = plans->front().CodecName;
    TLayout L;
    if (!BuildLayout(FIn, FInput, FRanges[k], &L, error)) return false;
    // Reading the range may have opened the file again (back to its start): a new stream.
    FillPlan(FIn.ic->streams[FIn.v], L, &plan);
    plan.Exact = true;
    FDuration += plan.Duration;
    FOffsets.push_back(FOffsets.back() + RangeLength(L));
    FLayouts.push_back(std::move(L));
    Log(llInfo, FormatText("Frame-exact copy: %d pictures encoded before the copied part, %d copied, %d encoded after it.",
                           plan.HeadPictures, plan.CopiedPictures, plan.TailPictures));
  }
  return true;
}

void TExactRun::StartRange(size_t k) {
  // The last range's workers read its layout: they end before it is replaced.
  FHeadWorker.reset();
  FTailWorker.reset();
  FHeadOwn.reset();
  FTailOwn.reset();
  FControl = std::make_unique<TPartControl>();
  FRange = k;
  FL = std::move(FLayouts[k]);
  FMoreRanges = k + 1 < FRanges.size();
  FHeadDone = FL.headFrom < 0;
  FTailDone = FL.tailFrom < 0;
  FCopyDone = FL.lastCopy < 0;
  FHeadWhole = true;
  FReadToEnd = false;
  FFirstCopy = true;
  if (FIn.a >= 0) {
    const AVStream* ia = FIn.ic->streams[FIn.a];
    const AVRational vtb = FIn.ic->streams[FIn.v]->time_base;
    FAudioStart = av_rescale_q(FL.firstPts, vtb, ia->time_base);
    FAudioEnd = FL.E == INT64_MAX ? INT64_MAX : av_rescale_q(FL.E, vtb, ia->time_base);
    FAudioOffset = av_rescale_q(FOffsets[k], vtb, ia->time_base);
    FAudioShift = INT64_MIN;
  }
  auto make = [this](bool head, std::unique_ptr<TPartWorker>& worker, std::unique_ptr<TPartCoder>& own) {
    if (FParallel) {
      worker = std::make_unique<TPartWorker>(FInput, FL, FSetup, FOutLength, head, *FControl);
      return &worker->Coder();
    }
    own = std::make_unique<TPartCoder>(FL, FSetup, FOutLength, head, false);
    return own.get();
  };
  FHead = FL.headFrom >= 0 ? make(true, FHeadWorker, FHeadOwn) : nullptr;
  FTail = FL.tailFrom >= 0 ? make(false, FTailWorker, FTailOwn) : nullptr;
}

void TExactRun::PassGate() {
  if (!FHost.Gate) return;
  // The workers hold still while this thread is paused.
  if (FParallel) FControl->Hold(true);
  FHost.Gate();
  if (FParallel) FControl->Hold(false);
}

bool TExactRun::Await(TPartWorker& worker) {
  // The gate first: a pause asked before the parts began holds them at once.
  do {
    PassGate();
    if (Stopped()) FControl->Stop();
  } while (!worker.Wait(20));
  return !FControl->Stopping();
}

// The range is read once every part has what it needs (the records at least).
bool TExactRun::RangeRead(int idx, int n) const {
  return FHeadDone && FCopyDone && FTailDone && idx >= n - 1 && !FReadToEnd;
}

// Alone on this thread: the encoded parts get the packets as they are read.
void TExactRun::FeedParts(int idx, const AVPacket* pkt) {
  const AVStream* st = FIn.ic->streams[FIn.v];
  if (!FHeadDone && idx >= FL.headFrom) {
    FHead->Feed(st, pkt);
    if (FHead->Done()) FinishHead();
  }
  if (!FTailDone && FL.tailFrom >= 0 && idx >= FL.tailFrom) {
    FTail->Feed(st, pkt);
    if (FTail->Done()) FinishTail();
  }
}

bool TExactRun::ReadRange(std::string* error) {
  // Replays the reading of the plan: the same position, the same first key frame.
  Position(FIn, FL.seekTs, FInput, error);
  TPacketPtr pkt = NewPacket();
  int idx = -1;
  const int n = static_cast<int>(FL.recs.size());
  for (;;) {
    if (FParallel && !FTailDone && FCopyDone && idx >= n - 1) {
      // The tail's worker tells whether its last picture needed the input's end.
      if (!Await(*FTailWorker)) return false;
      FReadToEnd = FReadToEnd || FTailWorker->NeededEnd();
      FinishTail();
    }
    if (RangeRead(idx, n)) break;
    PassGate();
    if (Stopped()) return false;
    const int r = av_read_frame(FIn.ic.get(), pkt.get());
    if (r == AVERROR_EOF) break;
    if (r < 0) throw std::runtime_error(ErrorText(FInput, r));
    if (pkt->stream_index == FIn.a && FOa) {
      // Some containers store sound well ahead of the pictures of the same time.
      WriteAudio(pkt.get());
      av_packet_unref(pkt.get());
      continue;
    }
    if (pkt->stream_index != FIn.v) {
      av_packet_unref(pkt.get());
      continue;
    }
    if (idx < 0 && !((pkt->flags & AV_PKT_FLAG_KEY) && PacketTime(pkt.get()) != AV_NOPTS_VALUE)) {
      av_packet_unref(pkt.get());
      continue;
    }
    if (++idx >= n) {
      av_packet_unref(pkt.get());
      if (RangeRead(idx, n)) break;
      // Past the planned records only the decoders still want packets.
      continue;
    }
    if (PacketTime(pkt.get()) != FL.recs[static_cast<size_t>(idx)].pts)
      throw std::runtime_error(FInput + ": the file reads differently the second time");
    if (!FParallel) FeedParts(idx, pkt.get());
    if (FL.part[static_cast<size_t>(idx)] == TPart::Copy) {
      TPacketPtr copy = NewPacket();
      av_packet_ref(copy.get(), pkt.get());
      copy->pts -= FL.firstPts;
      copy->dts = FL.copyDts[static_cast<size_t>(idx)] - FL.firstPts;
      PrepareCopied(copy.get(), idx);
      if (FHeadDone) EmitVideo(copy.get());
      else FPendingCopy.push_back(std::move(copy));
    }
    if (idx >= FL.lastCopy && !FCopyDone && FHeadDone) FCopyDone = true;
    if (FCopyDone) DrainTail(false);
    av_packet_unref(pkt.get());
  }
  return true;
}

void TExactRun::EndRange(bool stopped) {
  if (!FParallel) {
    // End of file, or a stop: what the decoders still hold, then everything in order.
    const AVStream* st = FIn.ic->streams[FIn.v];
    if (!stopped && !FHeadDone) FHead->Feed(st, nullptr);
    if (!stopped && !FTailDone) FTail->Feed(st, nullptr);
    FinishHead();
    FCopyDone = true;
    if (!FTailDone) FinishTail();
    DrainTail(true);
    return;
  }
  // After a stop what is written goes on without a gap: the tail only after the whole head
  // and the whole copied part.
  if (stopped) FControl->Stop();
  else FCopyDone = true;
  if (!FTailDone && FTailWorker) {
    Await(*FTailWorker);
    if (FHeadWhole && FCopyDone) FinishTail();
  }
  if (FTailDone) DrainTail(true);
}

bool TExactRun::RunRange(size_t k, std::string* error) {
  StartRange(k);
  bool stopped = false;
  if (FHeadWorker) {
    // The copied packets follow the head: the reading starts once it is encoded.
    stopped = !Await(*FHeadWorker);
    FHeadWhole = !FHeadWorker->Stopped();
    FReadToEnd = FHeadWorker->NeededEnd();
    FinishHead();
  }
  if (!stopped) stopped = !ReadRange(error);
  EndRange(stopped);
  return !stopped;
}

bool TExactRun::Run(std::vector<TExactCopyPlan>* plans, std::string* error) {
  try {
    FParallel = !FHost.Sequential && !getenv("TRIMORA_EXACT_COPY_SEQUENTIAL");
    if (!Prepare(plans, error)) return false;
    FL = FLayouts.front();  // the output's header follows the first range
    OpenOutput();
    bool stopped = false;
    for (size_t k = 0; k < FRanges.size() && !stopped; k++) stopped = !RunRange(k, error);
    int r = av_write_trailer(FOc.get());
    if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
    FFileSize = FOc->pb ? avio_tell(FOc->pb) : 0;
    r = CloseFormatIO(FOc.get());
    FOc.reset();
    if (r < 0) throw std::runtime_error(ErrorText(FOutput, r));
    std::string err;
    if (!FFile.Commit(&err)) throw std::runtime_error(err);
    if (FHost.Progress) {
      TExactCopyProgress p;
      p.Pictures = FPictures;
      p.Position = FPosition;
      p.Duration = FDuration;
      p.Size = FFileSize;
      FHost.Progress(p);
    }
    if (stopped) Log(llInfo, "Frame-exact copy stopped; the output holds what was written.");
    return true;
  } catch (const std::exception& e) {
    *error = e.what();
    FHeadWorker.reset();
    FTailWorker.reset();
    FOc.reset();  // closes the file first when it is still open
    FFile.Discard();
    return false;
  }
}

}  // namespace

bool RunExactCopy(const std::string& input, const std::string& output,
                  const TExactCopyOptions& options, const TExactCopyHost& host,
                  TExactCopyPlan* plan, std::string* error) {
  std::string err;
  if (!error) error = &err;
  std::vector<TExactCopyPlan> plans;
  TExactRun run(input, output, {options}, {}, host);
  const bool ok = run.Run(&plans, error);
  if (plan && !plans.empty()) *plan = plans.front();
  return ok;
}

bool RunExactCopyRanges(const std::string& input, const std::string& output,
                        const std::vector<TExactCopyOptions>& ranges,
                        const std::vector<std::string>& chapters, const TExactCopyHost& host,
                        std::vector<TExactCopyPlan>* plans, std::string* error) {
  std::string err;
  if (!error) error = &err;
  if (ranges.empty()) {
    *error = "No range to copy.";
    return false;
  }
  std::vector<TExactCopyPlan> local;
  TExactRun run(input, output, ranges, chapters, host);
  return run.Run(plans ? plans : &local, error);
}
