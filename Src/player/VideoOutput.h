#pragma once
// Puts pictures on the screen through SDL2: a window (the host's native window taken over with
// SDL_CreateWindowFrom, or SDL's own), a renderer and a streaming YV12 texture. Used by the
// play thread only.
#include <cstdint>
#include <mutex>
#include <string>

#include "player/PlayTypes.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace playcore {

struct TDisplayRect {
  int X = 0, Y = 0, W = 0, H = 0;
  bool operator==(const TDisplayRect&) const = default;
};

// The largest rectangle of the picture's aspect inside the screen, centred, even sizes.
// aspect > 0 forces it; < 0 takes the screen's own; 0 the picture's (width x sample aspect /
// height).
TDisplayRect DisplayRect(int screenW, int screenH, int picW, int picH, AVRational sar, float aspect);

class TVideoOutput {
public:
  TVideoOutput();
  ~TVideoOutput();
  TVideoOutput(const TVideoOutput&) = delete;
  TVideoOutput& operator=(const TVideoOutput&) = delete;

  // Makes the window at its size (or takes the host's); "SDL: could not set video mode." on
  // failure.
  bool Open(uintptr_t hostWindow, int width, int height, std::string* err);
  bool Opened() const { return FRenderer != nullptr; }
  void Close();
  // Uploads a yuv420p picture and shows it; a texture of another size is made anew
  // ("SDL_CreateYUVOverlay() error: %s" on failure).
  bool Show(const AVFrame* picture, float aspect, uint32_t background, std::string* err);
  // Shows the last picture again (expose, resize, paused).
  void Redraw(float aspect, uint32_t background);
  // The drawing area changed size.
  void Resized(int width, int height);
  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  uint32_t WindowID() const;
  const TDisplayRect& LastRect() const { return FLastRect; }

private:
  void Present(float aspect, uint32_t background);
  SDL_Window* FWindow = nullptr;
  bool FOwnWindow = false;
  SDL_Renderer* FRenderer = nullptr;
  SDL_Texture* FTexture = nullptr;
  int FTexW = 0, FTexH = 0;
  AVRational FSar{0, 1};
  int FWidth = 0, FHeight = 0;
  TDisplayRect FLastRect;
};

}  // namespace playcore
