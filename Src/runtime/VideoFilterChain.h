#pragma once
// A video filter chain built from a filter text that may name the program's own filters
// ("nativeeq", "nativehue"). The text is cut at its top-level commas; runs of library filters
// become library graphs, and an own filter between two graphs runs its frame code on what the
// graph before it gives. Without own filters the chain is one library graph.
//
// Use (engine and player): Configure once with the source's parameters, then Send pictures
// (null at the end) and Receive what comes out until AVERROR(EAGAIN) or AVERROR_EOF.
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "runtime/EqFilters.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

struct TVideoChainSource {
  int Width = 0;
  int Height = 0;
  AVPixelFormat PixFmt = AV_PIX_FMT_NONE;
  AVRational TimeBase{1, 25};
  AVRational SampleAspect{0, 1};
  AVRational FrameRate{0, 1};
};

// A library filter put after the user's text in the last graph, with an instance name.
struct TVideoChainTail {
  std::string Filter;
  std::string Name;
  std::string Args;
};

struct TVideoChainNames {
  std::string Source = "buffer";  // instance names of the first source and the last sink
  std::string Sink = "buffersink";
};

class TVideoFilterChain {
public:
  TVideoFilterChain();
  ~TVideoFilterChain();
  TVideoFilterChain(const TVideoFilterChain&) = delete;
  TVideoFilterChain& operator=(const TVideoFilterChain&) = delete;

  // filters: the user's text (empty: none). outFormats: what the last sink accepts (empty:
  // anything). 0 or a negative code; own-filter parameter failures give -1.
  int Configure(const TVideoChainSource& source, const std::string& filters,
                const std::vector<TVideoChainTail>& tail, const std::vector<AVPixelFormat>& outFormats,
                const TVideoChainNames& names, int64_t swsFlags);
  // Takes a reference of the picture (the caller keeps its own); null ends the input.
  int Send(const AVFrame* frame);
  // 0 with a picture, AVERROR(EAGAIN) when more input is needed, AVERROR_EOF after the end.
  int Receive(AVFrame* out);
  // Time base of the pictures Receive gives (known once the first one came out, else the
  // source's).
  AVRational OutputTimeBase() const { return FOutTimeBase; }
  // The first library graph (instance names can be looked up in it).
  AVFilterGraph* FirstGraph() const;
  void Reset();

private:
  struct TStage {
    std::string Text;                       // library filters; empty: a plain pass
    std::unique_ptr<TOwnVideoFilter> Own;   // or an own filter
    TFilterGraphPtr Graph;
    AVFilterContext* Src = nullptr;
    AVFilterContext* Sink = nullptr;
    bool Ended = false;
  };
  int BuildGraph(size_t index, const TVideoChainSource& source);
  int Push(size_t index, AVFrame* frame);  // frame null: end of input
  int Pull(size_t index);

  std::vector<TStage> FStages;
  std::vector<TVideoChainTail> FTail;
  std::vector<AVPixelFormat> FOutFormats;
  TVideoChainNames FNames;
  int64_t FSwsFlags = 4;
  std::deque<TOwnFramePtr> FOut;
  bool FEnded = false;
  AVRational FOutTimeBase{1, 25};
  AVRational FFrameRate{0, 1};
};

// The top-level parts of a filter text, cut at commas outside quotes, brackets and escapes.
std::vector<std::string> SplitFilterText(const std::string& text);
