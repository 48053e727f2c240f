/* A video hook module for the engine's hook tests: "-y N" fills the luma plane with N; with no
 * arguments it inverts the luma plane. HookModuleCount tells the tests how often each entry
 * point ran. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "engine/VideoHookModule.h"

typedef struct {
  int Luma; /* -1: invert */
} TContext;

static int gConfigured, gProcessed, gReleased;

int Configure(void** context, int argc, char** argv) {
  TContext* c = calloc(1, sizeof *c);
  if (!c) return 1;
  c->Luma = -1;
  for (int i = 1; i < argc; i++) {
    if (!strcmp(argv[i], "-y") && i + 1 < argc) {
      c->Luma = atoi(argv[++i]);
    } else {
      free(c);
      return 1; /* an argument this module does not know */
    }
  }
  *context = c;
  gConfigured++;
  return 0;
}

void Process(void* context, TVideoHookPicture* picture, int pixelFormat, int width, int height,
             int64_t pts) {
  (void)pixelFormat;
  (void)pts;
  const TContext* c = context;
  for (int y = 0; y < height; y++) {
    unsigned char* row = picture->data[0] + (ptrdiff_t)y * picture->linesize[0];
    for (int x = 0; x < width; x++)
      row[x] = (unsigned char)(c && c->Luma >= 0 ? c->Luma : 255 - row[x]);
  }
  gProcessed++;
}

void Release(void* context) {
  free(context);
  gReleased++;
}

/* 0: Configure calls, 1: Process calls, 2: Release calls. */
int HookModuleCount(int which) {
  return which == 0 ? gConfigured : which == 1 ? gProcessed : gReleased;
}
