#include "player/PacketQueue.h"

#include <chrono>

namespace playcore {

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

AVPacket* TPacketQueue::FlushPacket() {
  static AVPacket* flush = [] {
    AVPacket* p = av_packet_alloc();
    return p;
  }();
  return flush;
}

void TPacketQueue::Start() {
  {
    std::lock_guard<std::mutex> g(FLock);
    FAbort = false;
  }
  Put(FlushPacket());
}

void TPacketQueue::Abort() {
  std::lock_guard<std::mutex> g(FLock);
  FAbort = true;
  FCond.notify_all();
}

void TPacketQueue::Flush() {
  std::lock_guard<std::mutex> g(FLock);
  FNodes.clear();
  FPackets = 0;
  FBytes = 0;
  FDuration = 0;
}

int TPacketQueue::Put(AVPacket* pkt) {
  TNode node;
  if (!IsFlush(pkt)) {
    node.Pkt.reset(av_packet_alloc());
    if (!node.Pkt) return AVERROR(ENOMEM);
    av_packet_move_ref(node.Pkt.get(), pkt);
  }
  std::lock_guard<std::mutex> g(FLock);
  if (FAbort) return -1;
  if (!node.Pkt) ++FSerial;
  node.Serial = FSerial;
  if (node.Pkt) {
    FBytes += node.Pkt->size + PacketNodeOverhead;
    FDuration += node.Pkt->duration;
  } else {
    FBytes += PacketNodeOverhead;
  }
  ++FPackets;
  FNodes.push_back(std::move(node));
  FCond.notify_one();
  return 0;
}

int TPacketQueue::PutNull(int streamIndex) {
  TPacketPtr p(av_packet_alloc());
  if (!p) return AVERROR(ENOMEM);
  p->stream_index = streamIndex;
  return Put(p.get());
}

int TPacketQueue::Get(TPacketPtr& pkt, bool* isFlush, int* serial, bool block, int timeoutMs) {
  std::unique_lock<std::mutex> g(FLock);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (FAbort) return -1;
    if (!FNodes.empty()) {
      TNode node = std::move(FNodes.front());
      FNodes.pop_front();
      --FPackets;
      if (node.Pkt) {
        FBytes -= node.Pkt->size + PacketNodeOverhead;
        FDuration -= node.Pkt->duration;
      } else {
        FBytes -= PacketNodeOverhead;
      }
      *isFlush = !node.Pkt;
      if (serial) *serial = node.Serial;
      pkt = std::move(node.Pkt);
      return 1;
    }
    if (!block) return 0;
    if (timeoutMs < 0) {
      FCond.wait(g);
    } else if (FCond.wait_until(g, until) == std::cv_status::timeout) {
      return FAbort ? -1 : 0;
    }
  }
}

int TPacketQueue::Packets() const {
  std::lock_guard<std::mutex> g(FLock);
  return FPackets;
}
int64_t TPacketQueue::Bytes() const {
  std::lock_guard<std::mutex> g(FLock);
  return FBytes;
}
int64_t TPacketQueue::Duration() const {
  std::lock_guard<std::mutex> g(FLock);
  return FDuration;
}
int TPacketQueue::Serial() const {
  std::lock_guard<std::mutex> g(FLock);
  return FSerial;
}
bool TPacketQueue::Aborted() const {
  std::lock_guard<std::mutex> g(FLock);
  return FAbort;
}

}  // namespace playcore
