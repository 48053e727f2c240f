#include "runtime/FFOwners.h"

#include <algorithm>

#include "runtime/UnicodeProtocol.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

void TFrameFree::operator()(AVFrame* f) const { av_frame_free(&f); }
void TPacketFree::operator()(AVPacket* p) const { av_packet_free(&p); }
void TCodecContextFree::operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
void TInputFormatClose::operator()(AVFormatContext* s) const { avformat_close_input(&s); }

void TOutputFormatFree::operator()(AVFormatContext* s) const {
  CloseFormatIO(s);
  avformat_free_context(s);
}

void TBSFContextFree::operator()(AVBSFContext* c) const { av_bsf_free(&c); }
void TFilterGraphFree::operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
void TFilterInOutFree::operator()(AVFilterInOut* io) const { avfilter_inout_free(&io); }
void TAVBufferFree::operator()(void* p) const { av_free(p); }
void TSwsContextFree::operator()(SwsContext* c) const { sws_freeContext(c); }
void TSwrContextFree::operator()(SwrContext* s) const { swr_free(&s); }

bool CopyStreamSideData(const AVStream* from, AVStream* to) {
  for (int i = 0; i < from->nb_side_data; i++) {
    const AVPacketSideData& sd = from->side_data[i];
    uint8_t* d = av_stream_new_side_data(to, sd.type, sd.size);
    if (!d) return false;
    std::copy(sd.data, sd.data + sd.size, d);
  }
  return true;
}
