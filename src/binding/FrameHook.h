#pragma once
// External frame-hook modules: shared objects exporting "Configure", "Process" and "Release"
// (see frame_hook_module.h). A conversion keeps one TFrameHookList; each added module is
// configured once, called for every decoded picture and released when the list is released or
// destroyed. Loaded modules are cached process-wide by the exact name given and never unloaded.
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#define ORVO_FRAME_HOOK_HOST
#include "binding/frame_hook_module.h"

namespace orvo {

class TFrameHookList;

// argv[0] names the module file; the whole vector goes to the module's Configure, which may
// reorder it. Returns 0, -1 when the module does not load, -2 for no arguments or a missing
// entry point, -12 when out of memory, -22 when Configure fails. Errors are logged through
// Logger() at llError with the list as sender; a failed entry is not added.
int FrameHookAdd(TFrameHookList& list, int argc, char* argv[]);
// Copies the words into a writable argument vector and adds them as above.
int FrameHookAdd(TFrameHookList& list, const std::vector<std::string>& words);
// Calls Process of every entry in the order they were added.
void FrameHookProcess(TFrameHookList& list, FrameHookPicture* picture, AVPixelFormat pixFmt,
                      int width, int height, int64_t pts);
// Calls Release (where the module has one) of every entry in order and empties the list.
void FrameHookRelease(TFrameHookList& list);

// The module names in the process-wide cache, in load order.
std::vector<std::string> LoadedFrameHookModules();

class TFrameHookList {
 public:
  TFrameHookList() = default;
  ~TFrameHookList() { FrameHookRelease(*this); }
  TFrameHookList(const TFrameHookList&) = delete;
  TFrameHookList& operator=(const TFrameHookList&) = delete;
  TFrameHookList(TFrameHookList&& other) noexcept;
  TFrameHookList& operator=(TFrameHookList&& other) noexcept;

  size_t Count() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }

 private:
  struct THookEntry {
    FrameHookConfigureFn Configure = nullptr;
    FrameHookProcessFn Process = nullptr;
    FrameHookReleaseFn Release = nullptr;
    void* Context = nullptr;  // the module's own, set by its Configure
  };
  friend int FrameHookAdd(TFrameHookList& list, int argc, char* argv[]);
  friend void FrameHookProcess(TFrameHookList& list, FrameHookPicture* picture,
                               AVPixelFormat pixFmt, int width, int height, int64_t pts);
  friend void FrameHookRelease(TFrameHookList& list);

  std::vector<THookEntry> entries_;
};

}  // namespace orvo
