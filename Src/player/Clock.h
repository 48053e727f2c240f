#pragma once
// A playback clock: a time that runs with the wall clock (at its speed) from where it was last
// set, and that belongs to one serial of its packet queue. The audio callback and the play thread
// both use the clocks, so each has its own small lock.
#include <mutex>

#include "player/PacketQueue.h"

namespace playcore {

class TClock {
public:
  // queue: the serial the clock is checked against (null: its own serial always counts).
  explicit TClock(const TPacketQueue* queue = nullptr);
  // NaN when its serial is not the queue's.
  double Get() const;
  void SetAt(double pts, int serial, double time);
  void Set(double pts, int serial);
  void SetSpeed(double speed);
  double Speed() const;
  double LastUpdated() const;
  double Pts() const;
  int Serial() const;
  bool Paused() const;
  void SetPaused(bool v);
  // Follows slave when they differ by more than the no-sync threshold (or this one is unset).
  void SyncTo(const TClock& slave);

private:
  double GetLocked() const;
  mutable std::mutex FLock;
  const TPacketQueue* FQueue;
  double FPts = 0;
  double FPtsDrift = 0;
  double FLastUpdated = 0;
  double FSpeed = 1.0;
  int FSerial = -1;
  bool FPaused = false;
};

}  // namespace playcore
