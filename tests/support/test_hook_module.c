/* A frame-hook module for the loader's tests.
 *
 * Configure takes one optional argument: a fill value 0..255 (default 0), or "fail" to make
 * Configure fail. Each configured instance gets the next id (1, 2, ...). Process fills the
 * visible part of plane 0 (width x height, rows at linesize) with the instance's value. Every
 * call is recorded in an event string the tests read through test_hook_events():
 *   "C<id>:<argc>" configured, "P<id>@<pts>/<pix_fmt>" processed, "R<id>" released.
 * A bare instance (no Configure ran) reports id 0 and fills with BARE_VALUE.
 *
 * Built three ways: complete; with TEST_HOOK_NO_PROCESS (Configure and Release only); with
 * TEST_HOOK_BARE (Process only).
 */
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "binding/frame_hook_module.h"

#define EXPORT __attribute__((visibility("default")))
#define BARE_VALUE 77

typedef struct HookContext {
  int id;
  int value;
} HookContext;

static pthread_mutex_t events_lock = PTHREAD_MUTEX_INITIALIZER;
static char events[4096];
static int next_id = 1;

static void record(const char *item) {
  pthread_mutex_lock(&events_lock);
  if (events[0]) strncat(events, " ", sizeof events - strlen(events) - 1);
  strncat(events, item, sizeof events - strlen(events) - 1);
  pthread_mutex_unlock(&events_lock);
}

/* Copies the events into buffer (size bytes, zero-terminated). */
EXPORT void test_hook_events(char *buffer, size_t size) {
  pthread_mutex_lock(&events_lock);
  snprintf(buffer, size, "%s", events);
  pthread_mutex_unlock(&events_lock);
}

EXPORT void test_hook_reset(void) {
  pthread_mutex_lock(&events_lock);
  events[0] = '\0';
  next_id = 1;
  pthread_mutex_unlock(&events_lock);
}

#ifndef TEST_HOOK_BARE
EXPORT int Configure(void **ctxp, int argc, char *argv[]) {
  int value = 0;
  if (argc > 1) {
    char *end = NULL;
    if (strcmp(argv[1], "fail") == 0) return -1;
    value = (int)strtol(argv[1], &end, 10);
    if (*end != '\0' || value < 0 || value > 255) return -1;
  }
  HookContext *ctx = malloc(sizeof *ctx);
  if (!ctx) return -1;
  pthread_mutex_lock(&events_lock);
  ctx->id = next_id++;
  pthread_mutex_unlock(&events_lock);
  ctx->value = value;
  *ctxp = ctx;
  char item[32];
  snprintf(item, sizeof item, "C%d:%d", ctx->id, argc);
  record(item);
  return 0;
}

EXPORT void Release(void *ctx) {
  HookContext *hook = ctx;
  char item[32];
  snprintf(item, sizeof item, "R%d", hook->id);
  record(item);
  free(hook);
}
#endif

#ifndef TEST_HOOK_NO_PROCESS
EXPORT void Process(void *ctx, FrameHookPicture *picture, int pix_fmt, int width, int height,
                    int64_t pts) {
  const HookContext *hook = ctx;
  const int id = hook ? hook->id : 0;
  const int value = hook ? hook->value : BARE_VALUE;
  for (int y = 0; y < height; ++y) {
    memset(picture->data[0] + (ptrdiff_t)y * picture->linesize[0], value, (size_t)width);
  }
  char item[48];
  snprintf(item, sizeof item, "P%d@%lld/%d", id, (long long)pts, pix_fmt);
  record(item);
}
#endif
