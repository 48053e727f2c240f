// Per-stream codec options and whole-file reading for the option core.
#include <cstdio>
#include <cstring>
#include <new>

#include "FFOptions.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

std::vector<TAVDictionary> StreamCodecOptions(AVFormatContext* s, const AVDictionary* codecOpts) {
  std::vector<TAVDictionary> out;
  if (!s || s->nb_streams == 0) return out;
  try {
    out.reserve(s->nb_streams);
  } catch (const std::bad_alloc&) {
    av_log(nullptr, AV_LOG_ERROR, "Could not alloc memory for stream options.\n");
    return out;
  }
  for (unsigned i = 0; i < s->nb_streams; i++)
    out.push_back(FilterStreamCodecOptions(codecOpts, s->streams[i]->codecpar->codec_id, s,
                                           s->streams[i], nullptr));
  return out;
}

TAVDictionary FilterStreamCodecOptions(const AVDictionary* opts, AVCodecID codecId,
                                       AVFormatContext* s, AVStream* st, const AVCodec* codec,
                                       int* error) {
  if (error) *error = 0;
  TAVDictionary ret;
  if (!s || !st) return ret;
  int flags = s->oformat ? AV_OPT_FLAG_ENCODING_PARAM : AV_OPT_FLAG_DECODING_PARAM;
  char prefix = 0;
  switch (st->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
      prefix = 'v';
      flags |= AV_OPT_FLAG_VIDEO_PARAM;
      break;
    case AVMEDIA_TYPE_AUDIO:
      prefix = 'a';
      flags |= AV_OPT_FLAG_AUDIO_PARAM;
      break;
    case AVMEDIA_TYPE_SUBTITLE:
      prefix = 's';
      flags |= AV_OPT_FLAG_SUBTITLE_PARAM;
      break;
    default:
      break;
  }
  if (!codec) codec = s->oformat ? avcodec_find_encoder(codecId) : avcodec_find_decoder(codecId);
  const AVClass* cc = avcodec_get_class();
  const AVClass* pc = codec ? codec->priv_class : nullptr;

  const AVDictionaryEntry* t = nullptr;
  while ((t = av_dict_get(opts, "", t, AV_DICT_IGNORE_SUFFIX))) {
    std::string key = t->key;
    size_t colon = key.find(':');
    if (colon != std::string::npos) {
      int r = avformat_match_stream_specifier(s, st, t->key + colon + 1);
      if (r < 0) {
        if (error) *error = r;
        return TAVDictionary();
      }
      if (r == 0) continue;
      key.resize(colon);
    }
    if (av_opt_find(&cc, key.c_str(), nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ) ||
        (pc && av_opt_find(&pc, key.c_str(), nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ))) {
      ret.Set(key, t->value);
    } else if (prefix && key.size() > 1 && key[0] == prefix &&
               av_opt_find(&cc, key.c_str() + 1, nullptr, flags, AV_OPT_SEARCH_FAKE_OBJ)) {
      ret.Set(key.substr(1), t->value);
    }
  }
  return ret;
}

int ReadWholeFile(const std::string& fileName, std::string& buf) {
  buf.clear();
  FILE* f = std::fopen(fileName.c_str(), "rb");
  if (!f) {
    av_log(nullptr, AV_LOG_ERROR, "Cannot read file \"%s\"\n", fileName.c_str());
    return -1;
  }
  struct TCloser {
    FILE* F;
    ~TCloser() { std::fclose(F); }
  } closer{f};

  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    av_log(nullptr, AV_LOG_ERROR, "IO error\n");
    return AVERROR(EIO);
  }
  // Directories and special files may report absurd sizes; the result must fit an int.
  if (size >= INT_MAX) {
    av_log(nullptr, AV_LOG_ERROR, "Could not allocate file buffer\n");
    return AVERROR(ENOMEM);
  }
  try {
    buf.resize(static_cast<size_t>(size) + 1);
  } catch (const std::bad_alloc&) {
    av_log(nullptr, AV_LOG_ERROR, "Could not allocate file buffer\n");
    return AVERROR(ENOMEM);
  }
  size_t got = std::fread(buf.data(), 1, static_cast<size_t>(size), f);
  if (got < static_cast<size_t>(size)) {
    bool failed = std::ferror(f) != 0;
    buf.clear();
    if (failed) {
      av_log(nullptr, AV_LOG_ERROR, "Error while reading file \"%s\"\n", fileName.c_str());
      return AVERROR(EIO);
    }
    return AVERROR_EOF;
  }
  buf[static_cast<size_t>(size)] = '\0';
  return static_cast<int>(size) + 1;
}
