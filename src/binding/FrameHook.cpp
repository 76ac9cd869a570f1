#include "binding/FrameHook.h"

#include <dlfcn.h>

#include <mutex>
#include <new>
#include <utility>

#include "binding/FFmpegLogger.h"

namespace orvo {

namespace {

constexpr int kNoModule = -1;    // the shared object did not load
constexpr int kBadHook = -2;     // no arguments, or a required entry point is missing
constexpr int kNoMemory = -12;   // AVERROR(ENOMEM)
constexpr int kConfigure = -22;  // AVERROR(EINVAL)

// Loaded modules by the exact name they were asked for. Conversions add hooks from several
// threads; the lock also makes one name load once. Modules stay loaded for the whole process,
// so the cache is never destroyed either (a worker may still add a hook during exit).
struct ModuleCache {
  std::mutex lock;
  std::vector<std::pair<std::string, void*>> modules;
};

ModuleCache& Cache() {
  static ModuleCache* cache = new ModuleCache;
  return *cache;
}

void LogError(const TFrameHookList& list, const std::string& text) {
  Logger().Log(&list, llError, text);
}

// The cached handle for name, loading the module on first use; nullptr after logging the
// loader's message when it does not load.
void* ModuleHandle(const TFrameHookList& list, const std::string& name) {
  ModuleCache& cache = Cache();
  std::string failure;
  {
    std::lock_guard guard(cache.lock);
    for (const auto& [cachedName, handle] : cache.modules) {
      if (cachedName == name) return handle;
    }
    // RTLD_NOW: a module with unresolved symbols fails here, not in the middle of a conversion.
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle) {
      cache.modules.emplace_back(name, handle);
      return handle;
    }
    const char* message = dlerror();
    failure = message ? message : "cannot load " + name;
  }
  // Logged outside the lock: the log handler may run on the main thread, which may itself be
  // adding a hook.
  LogError(list, failure);
  return nullptr;
}

template <typename Fn>
Fn EntryPoint(void* module, const char* name) {
  return reinterpret_cast<Fn>(dlsym(module, name));
}

}  // namespace

TFrameHookList::TFrameHookList(TFrameHookList&& other) noexcept
    : entries_(std::exchange(other.entries_, {})) {}

TFrameHookList& TFrameHookList::operator=(TFrameHookList&& other) noexcept {
  if (this != &other) {
    FrameHookRelease(*this);
    entries_ = std::exchange(other.entries_, {});
  }
  return *this;
}

int FrameHookAdd(TFrameHookList& list, int argc, char* argv[]) {
  if (argc <= 0 || !argv || !argv[0]) return kBadHook;
  const std::string name = argv[0];

  void* module = ModuleHandle(list, name);
  if (!module) return kNoModule;

  // Room for the entry first, so a configured module context always finds its place.
  try {
    list.entries_.reserve(list.entries_.size() + 1);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  }
  TFrameHookList::THookEntry entry;
  entry.Configure = EntryPoint<FrameHookConfigureFn>(module, "Configure");
  entry.Process = EntryPoint<FrameHookProcessFn>(module, "Process");
  entry.Release = EntryPoint<FrameHookReleaseFn>(module, "Release");

  if (!entry.Process) {
    LogError(list, "Failed to find Process entrypoint in " + name);
    return kBadHook;
  }
  if (!entry.Configure && argc > 1) {
    LogError(list, "Failed to find Configure entrypoint in " + name);
    return kBadHook;
  }
  if (entry.Configure && entry.Configure(&entry.Context, argc, argv) != 0) {
    LogError(list, "Failed to Configure " + name);
    return kConfigure;
  }
  list.entries_.push_back(entry);
  return 0;
}

int FrameHookAdd(TFrameHookList& list, const std::vector<std::string>& words) {
  std::vector<std::string> copies(words);
  std::vector<char*> argv;
  argv.reserve(copies.size() + 1);
  for (std::string& word : copies) argv.push_back(word.data());
  argv.push_back(nullptr);  // as a C main's argv, for modules that scan to the end
  return FrameHookAdd(list, static_cast<int>(copies.size()), argv.data());
}

void FrameHookProcess(TFrameHookList& list, FrameHookPicture* picture, AVPixelFormat pixFmt,
                      int width, int height, int64_t pts) {
  for (const TFrameHookList::THookEntry& entry : list.entries_) {
    entry.Process(entry.Context, picture, static_cast<int>(pixFmt), width, height, pts);
  }
}

void FrameHookRelease(TFrameHookList& list) {
  // Taken out first so a list released again (or destroyed) never calls Release twice.
  std::vector<TFrameHookList::THookEntry> entries = std::exchange(list.entries_, {});
  for (const TFrameHookList::THookEntry& entry : entries) {
    if (entry.Release) entry.Release(entry.Context);
  }
}

std::vector<std::string> LoadedFrameHookModules() {
  ModuleCache& cache = Cache();
  std::lock_guard guard(cache.lock);
  std::vector<std::string> names;
  names.reserve(cache.modules.size());
  for (const auto& module : cache.modules) names.push_back(module.first);
  return names;
}

}  // namespace orvo
