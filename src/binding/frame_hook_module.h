/* Public interface for frame-hook module writers.
 *
 * A frame-hook module is a shared object exporting, with C linkage:
 *   int  Configure(void **ctxp, int argc, char *argv[]);   0 on success
 *   void Process(void *ctx, FrameHookPicture *picture, int pix_fmt,
 *                int width, int height, int64_t pts);       required
 *   void Release(void *ctx);                                optional
 *
 * argv[0] is the module's file name as given to the converter; Configure may store its own
 * context through ctxp and may reorder argv (getopt). Process is called for every decoded
 * picture, in the order the modules were added; pix_fmt is an AVPixelFormat value and pts is
 * in microseconds. Release is called once per successful Configure when the conversion ends.
 * A module is never unloaded while the process runs.
 */
#ifndef ORVO_FRAME_HOOK_MODULE_H
#define ORVO_FRAME_HOOK_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One picture: up to four planes, each with its row stride in bytes. */
typedef struct FrameHookPicture {
  uint8_t *data[4];
  int linesize[4];
} FrameHookPicture;

typedef int (*FrameHookConfigureFn)(void **ctxp, int argc, char *argv[]);
typedef void (*FrameHookProcessFn)(void *ctx, FrameHookPicture *picture, int pix_fmt, int width,
                                   int height, int64_t pts);
typedef void (*FrameHookReleaseFn)(void *ctx);

/* Declarations that check a module's definitions against the types above; the host leaves
 * them out so these short names stay out of its global namespace. */
#ifndef ORVO_FRAME_HOOK_HOST
int Configure(void **ctxp, int argc, char *argv[]);
void Process(void *ctx, FrameHookPicture *picture, int pix_fmt, int width, int height,
             int64_t pts);
void Release(void *ctx);
#endif

#ifdef __cplusplus
}
#endif

#endif /* ORVO_FRAME_HOOK_MODULE_H */
