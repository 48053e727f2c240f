// A tone whose loudness steps, for the timeline's waveform.
#include "FixtureHooks.h"

double ToneStepLevel(double seconds, int channel) {
  if (seconds < 10) return 0;
  if (seconds < 20) return channel == 0 ? 0.8 : 0.4;
  return channel == 0 ? 0.05 : 0.2;
}
