#include "job/SegmentChapters.h"

#include <stdexcept>

#include "runtime/FFOwners.h"
#include "runtime/MediaTexts.h"
#include "runtime/SafeWrite.h"
#include "runtime/UnicodeProtocol.h"

void AddChapter(AVFormatContext* oc, int64_t id, AVRational timeBase, int64_t start, int64_t end,
                const std::string& title) {
  AVChapter** grown =
      static_cast<AVChapter**>(av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
  if (!grown) throw std::bad_alloc();
  oc->chapters = grown;
  AVChapter* ch = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
  if (!ch) throw std::bad_alloc();
  oc->chapters[oc->nb_chapters++] = ch;
  ch->id = id;
  ch->time_base = timeBase;
  ch->start = start;
  ch->end = end;
  if (av_dict_set(&ch->metadata, "title", title.c_str(), 0) < 0) throw std::bad_alloc();
}

namespace {

// The output's context with a stream for each of the input's, and the chapters.
TOutputFormatPtr OpenCopy(AVFormatContext* ic, const std::string& output, const std::string& url,
                          const std::vector<int64_t>& bounds, const std::vector<std::string>& titles) {
  AVFormatContext* oc = nullptr;
  if (avformat_alloc_output_context2(&oc, nullptr, nullptr, output.c_str()) < 0 || !oc)
    throw std::runtime_error(output + ": no container is known for this file name");
  TOutputFormatPtr out(oc);
  InstallUnicodeIO(oc);
  for (unsigned i = 0; i < ic->nb_streams; i++) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, ic->streams[i]->codecpar) < 0) throw std::bad_alloc();
    st->codecpar->codec_tag = 0;
    st->time_base = ic->streams[i]->time_base;
    st->sample_aspect_ratio = ic->streams[i]->sample_aspect_ratio;
  }
  for (size_t k = 0; k < titles.size() && k + 1 < bounds.size(); k++)
    AddChapter(oc, static_cast<int64_t>(k) + 1, AV_TIME_BASE_Q, bounds[k], bounds[k + 1], titles[k]);
  int r = oc->io_open(oc, &oc->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(output, r));
  r = avformat_write_header(oc, nullptr);
  if (r < 0) throw std::runtime_error(ErrorText(output + ": cannot write the header", r));
  return out;
}

}  // namespace

bool CopyWithChapters(const std::string& input, const std::string& output, const std::vector<int64_t>& bounds,
                      const std::vector<std::string>& titles, const std::vector<std::string>& sources,
                      std::string* error) {
  TSafeFile file;
  TOutputFormatPtr oc;
  try {
    AVFormatContext* raw = nullptr;
    int r = OpenUserInput(&raw, input, nullptr);
    if (r < 0) throw std::runtime_error(ErrorText(input, r));
    TInputFormatPtr ic(raw);
    if ((r = avformat_find_stream_info(ic.get(), nullptr)) < 0) throw std::runtime_error(ErrorText(input, r));
    if (!file.Open(output, sources, false, error)) return false;
    oc = OpenCopy(ic.get(), output, FileNameToURL(file.TempPath()), bounds, titles);
    TPacketPtr pkt(av_packet_alloc());
    if (!pkt) throw std::bad_alloc();
    while ((r = av_read_frame(ic.get(), pkt.get())) >= 0) {
      av_packet_rescale_ts(pkt.get(), ic->streams[pkt->stream_index]->time_base,
                           oc->streams[pkt->stream_index]->time_base);
      pkt->pos = -1;
      if ((r = av_interleaved_write_frame(oc.get(), pkt.get())) < 0) throw std::runtime_error(ErrorText(output, r));
    }
    if ((r = av_write_trailer(oc.get())) < 0) throw std::runtime_error(ErrorText(output, r));
    r = CloseFormatIO(oc.get());
    oc.reset();
    if (r < 0) throw std::runtime_error(ErrorText(output, r));
    return file.Commit(error);
  } catch (const std::exception& e) {
    *error = e.what();
    oc.reset();
    file.Discard();
    return false;
  }
}
