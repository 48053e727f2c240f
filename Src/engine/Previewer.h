#pragma once
// The preview window of a task. TPreviewer is called from the task's worker thread and does all
// window work in the main thread (RunInMainThread); the window itself is the application's, made
// through the factory it installs. Without a factory (the command line, most tests) there is no
// window and the task switches its window preview off, as if the user had closed it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class TBitmap;

// One preview window. Every call comes on the main thread.
class IPreviewWindow {
public:
  virtual ~IPreviewWindow() = default;
  // Called once, before the first Show: the client area's size (the first picture's).
  virtual void SetClientSize(int width, int height) = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  // Draws the picture at the top-left corner of the client area; the bitmap is valid only
  // during the call.
  virtual void Draw(const TBitmap& bitmap) = 0;
  virtual void Show() = 0;
  // Set by TPreviewer; the window calls it (main thread) when the user closes it.
  std::function<void()> OnClose;
};

using TPreviewWindowFactory = std::function<std::unique_ptr<IPreviewWindow>()>;

// Process-wide; an empty factory removes it. Main thread.
void SetPreviewWindowFactory(TPreviewWindowFactory factory);
bool HasPreviewWindowFactory();

class TPreviewer {
public:
  TPreviewer();
  // Frees the window in the main thread.
  ~TPreviewer();
  TPreviewer(const TPreviewer&) = delete;
  TPreviewer& operator=(const TPreviewer&) = delete;

  // Worker thread: shows the picture (waiting for the main thread) unless the window was
  // closed. True while the window has not been closed.
  bool ShowPicture(const TBitmap& bitmap, int frameNumber, int64_t pts);
  bool Closed() const;

private:
  struct TState;
  std::shared_ptr<TState> FState;
};

// The caption: "N/A" for AV_NOPTS_VALUE, else hh:mm:ss.mmm of pts + 5 ms.
std::string PreviewCaption(int64_t pts);
