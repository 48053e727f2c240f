#pragma once
// What the stepping tests share: the track bar's way to a time, and the key frames around a
// frame.
#include <cstdint>
#include <vector>

#include "decoder/FFDecode.h"

// The picture at time t as the track bar finds it.
inline bool SeekToTimeLikeTrackBar(TFFDecoder& dec, int64_t t) {
  if (!dec.Seek(t, 0)) return false;
  while (dec.Decode())
    if (dec.FramePTS() >= t || t <= 0) return true;
  return false;
}

// The last key frame before frame n (0 when there is none), and the first after it (-1).
inline int LastKeyBefore(const std::vector<int>& keys, int n) {
  int k = 0;
  for (int f : keys)
    if (f < n) k = f;
  return k;
}
inline int NextKeyAfter(const std::vector<int>& keys, int n) {
  for (int f : keys)
    if (f > n) return f;
  return -1;
}
