#pragma once
/* Video hook modules: shared objects named with the job option "vhook", which each decoded
 * picture passes through before it reaches the filters. A module exports, with C linkage:
 *
 *   int  Configure(void** context, int argc, char** argv);   required with arguments
 *   void Process(void* context, TVideoHookPicture* picture, int pixelFormat,
 *                int width, int height, int64_t pts);        required
 *   void Release(void* context);                             optional
 *
 * argv holds every word of the option text, argv[0] being the module file. Configure returns
 * 0 on success and may store a context of its own. Process may change the planes in place;
 * pixelFormat is an AVPixelFormat value, pts the picture's time in microseconds. Release is
 * called when the task is cleaned up. This header is plain C so that modules can use it. */
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Plane pointers and line sizes of one picture (the classic eight-plane picture layout). */
typedef struct TVideoHookPicture {
  uint8_t* data[8];
  int linesize[8];
} TVideoHookPicture;

typedef int (*TVideoHookConfigure)(void** context, int argc, char** argv);
typedef void (*TVideoHookProcess)(void* context, TVideoHookPicture* picture, int pixelFormat,
                                  int width, int height, int64_t pts);
typedef void (*TVideoHookRelease)(void* context);

#ifdef __cplusplus
}

#include <string>
#include <vector>

// The module text split into words: at "|" when it holds one (words kept as they are), else at
// blanks (runs of blanks count once). At most 254 words.
std::vector<std::string> SplitHookModuleText(const std::string& text);
#endif
