#include "player/Clock.h"

#include <cmath>

namespace playcore {

TClock::TClock(const TPacketQueue* queue) : FQueue(queue) {
  FPts = NAN;
  FPtsDrift = NAN;
  FLastUpdated = Now();
}

double TClock::GetLocked() const {
  if (FQueue && FQueue->Serial() != FSerial) return NAN;
  if (FPaused) return FPts;
  const double now = Now();
  return FPtsDrift + now - (now - FLastUpdated) * (1.0 - FSpeed);
}

double TClock::Get() const {
  std::lock_guard<std::mutex> g(FLock);
  return GetLocked();
}

void TClock::SetAt(double pts, int serial, double time) {
  std::lock_guard<std::mutex> g(FLock);
  FPts = pts;
  FLastUpdated = time;
  FPtsDrift = pts - time;
  FSerial = serial;
}

void TClock::Set(double pts, int serial) { SetAt(pts, serial, Now()); }

void TClock::SetSpeed(double speed) {
  const double now = Now();
  double pts;
  int serial;
  {
    std::lock_guard<std::mutex> g(FLock);
    pts = GetLocked();
    serial = FSerial;
  }
  SetAt(pts, serial, now);
  std::lock_guard<std::mutex> g(FLock);
  FSpeed = speed;
}

double TClock::Speed() const {
  std::lock_guard<std::mutex> g(FLock);
  return FSpeed;
}
double TClock::LastUpdated() const {
  std::lock_guard<std::mutex> g(FLock);
  return FLastUpdated;
}
double TClock::Pts() const {
  std::lock_guard<std::mutex> g(FLock);
  return FPts;
}
int TClock::Serial() const {
  std::lock_guard<std::mutex> g(FLock);
  return FSerial;
}
bool TClock::Paused() const {
  std::lock_guard<std::mutex> g(FLock);
  return FPaused;
}
void TClock::SetPaused(bool v) {
  std::lock_guard<std::mutex> g(FLock);
  FPaused = v;
}

void TClock::SyncTo(const TClock& slave) {
  const double mine = Get();
  const double other = slave.Get();
  if (!std::isnan(other) && (std::isnan(mine) || std::fabs(mine - other) > NoSyncThreshold))
    Set(other, slave.Serial());
}

}  // namespace playcore
