// The preview window of a task: the worker hands each picture to the main thread, which makes
// the application's window on the first one and draws into it.
#include "engine/Previewer.h"

#include <atomic>
#include <mutex>

#include "runtime/Bitmap.h"
#include "runtime/MainThread.h"
#include "runtime/MediaTexts.h"

namespace {

std::mutex gFactoryLock;
TPreviewWindowFactory gFactory;

TPreviewWindowFactory Factory() {
  std::lock_guard<std::mutex> lock(gFactoryLock);
  return gFactory;
}

}  // namespace

void SetPreviewWindowFactory(TPreviewWindowFactory factory) {
  std::lock_guard<std::mutex> lock(gFactoryLock);
  gFactory = std::move(factory);
}

bool HasPreviewWindowFactory() {
  std::lock_guard<std::mutex> lock(gFactoryLock);
  return static_cast<bool>(gFactory);
}

std::string PreviewCaption(int64_t pts) { return TimeToText(pts); }

// Shared with the window's close handler, which may outlive a display step.
struct TPreviewer::TState {
  std::unique_ptr<IPreviewWindow> Window;  // main thread only
  std::atomic<bool> Closed{false};
  std::atomic<bool> Shown{false};  // a window was made
};

TPreviewer::TPreviewer() : FState(std::make_shared<TState>()) {}

TPreviewer::~TPreviewer() {
  // The window is the application's: it goes on the main thread. Without one nothing waits.
  std::shared_ptr<TState> s = std::move(FState);
  if (IsMainThread()) {
    s->Window.reset();
    return;
  }
  if (s->Shown) RunInMainThread([s] { s->Window.reset(); });
}

bool TPreviewer::Closed() const { return FState->Closed.load(); }

bool TPreviewer::ShowPicture(const TBitmap& bitmap, int frameNumber, int64_t pts) {
  if (FState->Closed) return false;
  if (!HasPreviewWindowFactory()) {
    // Nobody to show it: as if the window had been closed.
    FState->Closed = true;
    return false;
  }
  std::shared_ptr<TState> s = FState;
  const TBitmap* bmp = &bitmap;
  (void)frameNumber;  // the caption shows the time only
  RunInMainThread([s, bmp, pts] {
    // The user may have closed the window while this call waited in the queue.
    if (s->Closed) return;
    if (!s->Window) {
      TPreviewWindowFactory factory = Factory();
      std::unique_ptr<IPreviewWindow> w = factory ? factory() : nullptr;
      if (!w) {
        s->Closed = true;
        return;
      }
      std::weak_ptr<TState> weak = s;
      w->OnClose = [weak] {
        if (auto st = weak.lock()) st->Closed = true;
      };
      w->SetClientSize(bmp->Width(), bmp->Height());
      s->Window = std::move(w);
      s->Shown = true;
      s->Window->Show();
      if (s->Closed) return;
    }
    s->Window->SetCaption(PreviewCaption(pts));
    s->Window->Draw(*bmp);
  });
  return !FState->Closed;
}
