#include "player/VideoOutput.h"

#include <SDL.h>

#include <cmath>

namespace playcore {

TDisplayRect DisplayRect(int screenW, int screenH, int picW, int picH, AVRational sar, float aspect) {
  double a;
  if (aspect > 0) {
    a = aspect;
  } else if (aspect < 0) {
    a = screenH > 0 ? static_cast<double>(screenW) / screenH : 1.0;
  } else {
    const double s = (sar.num > 0 && sar.den > 0) ? av_q2d(sar) : 1.0;
    a = picH > 0 ? picW * s / picH : 1.0;
  }
  if (a <= 0) a = 1.0;
  int h = screenH;
  int w = static_cast<int>(std::floor(h * a)) & ~1;
  if (w > screenW) {
    w = screenW;
    h = static_cast<int>(std::floor(w / a)) & ~1;
  }
  TDisplayRect r;
  r.X = (screenW - w) / 2;
  r.Y = (screenH - h) / 2;
  r.W = std::max(w, 1);
  r.H = std::max(h, 1);
  return r;
}

TVideoOutput::TVideoOutput() = default;
TVideoOutput::~TVideoOutput() { Close(); }

bool TVideoOutput::Open(uintptr_t hostWindow, int width, int height, std::string* err) {
  Close();
  if (hostWindow) {
    FWindow = SDL_CreateWindowFrom(reinterpret_cast<const void*>(hostWindow));
    FOwnWindow = false;
  }
  if (!FWindow) {
    // Without a host (or where a foreign window cannot be used) SDL shows its own window.
    FWindow = SDL_CreateWindow("FFPlayer", SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED, width, height,
                               SDL_WINDOW_RESIZABLE);
    FOwnWindow = true;
  }
  if (FWindow) {
    FRenderer = SDL_CreateRenderer(FWindow, -1, 0);
    if (!FRenderer) FRenderer = SDL_CreateRenderer(FWindow, -1, SDL_RENDERER_SOFTWARE);
  }
  if (!FRenderer) {
    if (err) *err = "SDL: could not set video mode.";
    Close();
    return false;
  }
  SDL_GetWindowSize(FWindow, &FWidth, &FHeight);
  if (FWidth <= 0 || FHeight <= 0) {
    FWidth = width;
    FHeight = height;
  }
  return true;
}

void TVideoOutput::Close() {
  if (FTexture) SDL_DestroyTexture(FTexture);
  FTexture = nullptr;
  FTexW = FTexH = 0;
  if (FRenderer) SDL_DestroyRenderer(FRenderer);
  FRenderer = nullptr;
  if (FWindow) SDL_DestroyWindow(FWindow);  // a foreign window itself stays
  FWindow = nullptr;
  FLastRect = TDisplayRect();
}

uint32_t TVideoOutput::WindowID() const { return FWindow ? SDL_GetWindowID(FWindow) : 0; }

void TVideoOutput::Resized(int width, int height) {
  if (width > 0 && height > 0) {
    FWidth = width;
    FHeight = height;
  }
}

bool TVideoOutput::Show(const AVFrame* picture, float aspect, uint32_t background, std::string* err) {
  if (!FRenderer) return false;
  if (!FTexture || FTexW != picture->width || FTexH != picture->height) {
    if (FTexture) SDL_DestroyTexture(FTexture);
    FTexture = SDL_CreateTexture(FRenderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING, picture->width,
                                 picture->height);
    if (!FTexture) {
      if (err) *err = std::string("SDL_CreateYUVOverlay() error: ") + SDL_GetError();
      FTexW = FTexH = 0;
      return false;
    }
    FTexW = picture->width;
    FTexH = picture->height;
  }
  SDL_UpdateYUVTexture(FTexture, nullptr, picture->data[0], picture->linesize[0], picture->data[1],
                       picture->linesize[1], picture->data[2], picture->linesize[2]);
  FSar = picture->sample_aspect_ratio;
  Present(aspect, background);
  return true;
}

void TVideoOutput::Redraw(float aspect, uint32_t background) {
  if (FRenderer && FTexture) Present(aspect, background);
}

void TVideoOutput::Present(float aspect, uint32_t background) {
  int w = 0, h = 0;
  if (SDL_GetRendererOutputSize(FRenderer, &w, &h) == 0 && w > 0 && h > 0) {
    FWidth = w;
    FHeight = h;
  }
  const TDisplayRect r = DisplayRect(FWidth, FHeight, FTexW, FTexH, FSar, aspect);
  // The borders around the picture in the background colour.
  SDL_SetRenderDrawColor(FRenderer, (background >> 16) & 0xff, (background >> 8) & 0xff, background & 0xff, 255);
  SDL_RenderClear(FRenderer);
  const SDL_Rect dst{r.X, r.Y, r.W, r.H};
  SDL_RenderCopy(FRenderer, FTexture, nullptr, &dst);
  SDL_RenderPresent(FRenderer);
  FLastRect = r;
}

}  // namespace playcore
