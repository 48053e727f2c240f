// Compiled into every test program: SDL's dummy drivers and Qt's offscreen platform unless the
// caller chose others. CTest cannot carry several variables through discovered tests' properties
// reliably, so the programs set their own defaults before main.
#include <cstdlib>

namespace {

const bool kTestEnvironment = [] {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("SDL_VIDEODRIVER", "dummy", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
#ifdef TRIMORA_FIXTURE_DIR
  setenv("TRIMORA_FIXTURE_DIR", TRIMORA_FIXTURE_DIR, 0);
#endif
  return true;
}();

}  // namespace
