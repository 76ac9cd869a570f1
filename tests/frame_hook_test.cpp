#include "binding/FrameHook.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "binding/FFmpegLogger.h"

namespace orvo {
namespace {

const std::string kHook = ORVO_TEST_HOOK;
const std::string kNoProcessHook = ORVO_TEST_HOOK_NOPROCESS;
const std::string kBareHook = ORVO_TEST_HOOK_BARE;

// Another spelling of the same file: "<folder>/<dots>/<file>".
std::string Respelled(const std::string& path, const std::string& dots) {
  const std::filesystem::path p(path);
  return (p.parent_path() / dots / p.filename()).string();
}

// The test module's event record ("C1:2 P1@40/8 R1" ...), read through its own exports.
class ModuleEvents {
 public:
  explicit ModuleEvents(const std::string& path) : handle_(dlopen(path.c_str(), RTLD_NOW)) {
    if (!handle_) ADD_FAILURE() << dlerror();
  }
  ~ModuleEvents() {
    if (handle_) dlclose(handle_);
  }
  std::string Read() const {
    char buffer[4096] = {};
    reinterpret_cast<void (*)(char*, size_t)>(dlsym(handle_, "test_hook_events"))(buffer,
                                                                                  sizeof buffer);
    return buffer;
  }
  void Reset() const { reinterpret_cast<void (*)()>(dlsym(handle_, "test_hook_reset"))(); }

 private:
  void* handle_;
};

int CachedCount(const std::string& name) {
  const std::vector<std::string> names = LoadedFrameHookModules();
  return static_cast<int>(std::count(names.begin(), names.end(), name));
}

// A gray picture of width x height inside rows of linesize bytes, padding set to 0xAA.
struct TestPicture {
  TestPicture(int width, int height, int linesize)
      : width(width), height(height), bytes(static_cast<size_t>(linesize * height), 0xAA) {
    picture.data[0] = bytes.data();
    picture.linesize[0] = linesize;
  }
  // Every visible byte equals value and every padding byte is untouched.
  bool Filled(uint8_t value) const {
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < picture.linesize[0]; ++x) {
        const uint8_t expected = x < width ? value : 0xAA;
        if (bytes[static_cast<size_t>(y * picture.linesize[0] + x)] != expected) return false;
      }
    }
    return true;
  }
  int width;
  int height;
  std::vector<uint8_t> bytes;
  FrameHookPicture picture{};
};

class FrameHook : public testing::Test {
 protected:
  struct Entry {
    const void* sender;
    TLogLevel level;
    std::string text;
  };

  void SetUp() override {
    hook_.Reset();
    bare_.Reset();
    TFFLogger& logger = Logger();
    savedTrigger_ = logger.TriggerEventInMainThread;
    logger.TriggerEventInMainThread = false;
    logger.OnLog = [this](const void* sender, uint32_t, TLogLevel level, const std::string& text) {
      log_.push_back({sender, level, text});
    };
  }
  void TearDown() override {
    Logger().OnLog = nullptr;
    Logger().TriggerEventInMainThread = savedTrigger_;
  }

  ModuleEvents hook_{kHook};
  ModuleEvents bare_{kBareHook};
  std::vector<Entry> log_;
  bool savedTrigger_ = true;
};

TEST_F(FrameHook, EntriesAreConfiguredProcessedAndReleasedInOrder) {
  TFrameHookList list;
  std::string value = "10";
  char* argv[] = {const_cast<char*>(kHook.c_str()), value.data(), nullptr};
  ASSERT_EQ(FrameHookAdd(list, 2, argv), 0);
  ASSERT_EQ(FrameHookAdd(list, {kHook, "20"}), 0);
  EXPECT_EQ(list.Count(), 2u);
  EXPECT_EQ(hook_.Read(), "C1:2 C2:2");
  // Added twice, loaded once.
  EXPECT_EQ(CachedCount(kHook), 1);

  TestPicture frame(6, 3, 8);
  FrameHookProcess(list, &frame.picture, AV_PIX_FMT_GRAY8, 6, 3, 40000);
  FrameHookProcess(list, &frame.picture, AV_PIX_FMT_GRAY8, 6, 3, -7);
  const std::string gray = std::to_string(static_cast<int>(AV_PIX_FMT_GRAY8));
  EXPECT_EQ(hook_.Read(), "C1:2 C2:2 P1@40000/" + gray + " P2@40000/" + gray + " P1@-7/" +
                              gray + " P2@-7/" + gray);
  // The second entry ran last, within the visible width only.
  EXPECT_TRUE(frame.Filled(20));

  hook_.Reset();
  FrameHookRelease(list);
  EXPECT_EQ(hook_.Read(), "R1 R2");
  EXPECT_TRUE(list.Empty());
  FrameHookProcess(list, &frame.picture, AV_PIX_FMT_GRAY8, 6, 3, 0);
  FrameHookRelease(list);
  EXPECT_EQ(hook_.Read(), "R1 R2");
  EXPECT_TRUE(log_.empty());
}

TEST_F(FrameHook, DestroyingOrMovingAListReleasesEachEntryOnce) {
  {
    TFrameHookList first;
    ASSERT_EQ(FrameHookAdd(first, {kHook}), 0);  // configured with its name only
    TFrameHookList second(std::move(first));
    EXPECT_TRUE(first.Empty());
    EXPECT_EQ(second.Count(), 1u);

    TFrameHookList third;
    ASSERT_EQ(FrameHookAdd(third, {kHook, "3"}), 0);
    third = std::move(second);  // releases third's own entry (id 2) now
    EXPECT_EQ(hook_.Read(), "C1:1 C2:2 R2");
    EXPECT_EQ(third.Count(), 1u);
  }
  EXPECT_EQ(hook_.Read(), "C1:1 C2:2 R2 R1");
}

TEST_F(FrameHook, ModuleWithoutConfigureOrReleaseRunsUnconfigured) {
  TFrameHookList list;
  ASSERT_EQ(FrameHookAdd(list, {kBareHook}), 0);
  TestPicture frame(4, 2, 4);
  FrameHookProcess(list, &frame.picture, AV_PIX_FMT_YUV420P, 4, 2, 5);
  EXPECT_TRUE(frame.Filled(77));
  EXPECT_EQ(bare_.Read(), "P0@5/" + std::to_string(static_cast<int>(AV_PIX_FMT_YUV420P)));
  FrameHookRelease(list);
  EXPECT_TRUE(list.Empty());
}

TEST_F(FrameHook, OtherSpellingOfTheSameFileIsCachedSeparately) {
  const std::string other = Respelled(kHook, ".");
  TFrameHookList list;
  ASSERT_EQ(FrameHookAdd(list, {kHook, "1"}), 0);
  ASSERT_EQ(FrameHookAdd(list, {other, "2"}), 0);
  ASSERT_EQ(FrameHookAdd(list, {other, "3"}), 0);
  EXPECT_EQ(CachedCount(kHook), 1);
  EXPECT_EQ(CachedCount(other), 1);
  // One file underneath: its instances share the module's state.
  EXPECT_EQ(hook_.Read(), "C1:2 C2:2 C3:2");
}

TEST_F(FrameHook, FailedAddsReturnTheirCodeLogAndLeaveTheListAlone) {
  const std::filesystem::path notModule =
      std::filesystem::path(testing::TempDir()) / "frame_hook_not_a_module.so";
  std::ofstream(notModule) << "not a shared object\n";
  const std::string missing = "/nonexistent/frame_hook_missing.so";

  struct Case {
    std::vector<std::string> words;
    int code;
    std::string message;  // expected text, or for load failures a part of it
  };
  const Case cases[] = {
      {{}, -2, ""},
      {{missing}, -1, missing},
      {{notModule.string()}, -1, notModule.string()},
      {{kNoProcessHook}, -2, "Failed to find Process entrypoint in " + kNoProcessHook},
      {{kBareHook, "x"}, -2, "Failed to find Configure entrypoint in " + kBareHook},
      {{kHook, "fail"}, -22, "Failed to Configure " + kHook},
      {{kHook, "300"}, -22, "Failed to Configure " + kHook},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.words.empty() ? "(no words)" : c.words.back());
    log_.clear();
    TFrameHookList list;
    ASSERT_EQ(FrameHookAdd(list, {kHook, "5"}), 0);
    hook_.Reset();

    EXPECT_EQ(FrameHookAdd(list, c.words), c.code);
    EXPECT_EQ(list.Count(), 1u);
    if (c.message.empty()) {
      EXPECT_TRUE(log_.empty());
    } else {
      ASSERT_EQ(log_.size(), 1u);
      EXPECT_EQ(log_[0].sender, &list);
      EXPECT_EQ(log_[0].level, llError);
      if (c.code == -1) {
        EXPECT_NE(log_[0].text.find(c.message), std::string::npos) << log_[0].text;
        EXPECT_EQ(CachedCount(c.words[0]), 0);
      } else {
        EXPECT_EQ(log_[0].text, c.message);
      }
    }
    // The remaining entry still works; a failed Configure is never released.
    TestPicture frame(2, 1, 2);
    FrameHookProcess(list, &frame.picture, AV_PIX_FMT_GRAY8, 2, 1, 1);
    EXPECT_TRUE(frame.Filled(5));
    FrameHookRelease(list);
    EXPECT_EQ(hook_.Read(),
              "P1@1/" + std::to_string(static_cast<int>(AV_PIX_FMT_GRAY8)) + " R1");
  }

  TFrameHookList list;
  EXPECT_EQ(FrameHookAdd(list, 0, nullptr), -2);
  char* noName[] = {nullptr};
  EXPECT_EQ(FrameHookAdd(list, 1, noName), -2);
  EXPECT_TRUE(list.Empty());
}

TEST_F(FrameHook, ThreadsAddingTheSameNewModuleLoadItOnce) {
  // A fresh copy, so the first (slow) load happens here, in all threads at once.
  const std::filesystem::path copy = std::filesystem::path(testing::TempDir()) /
                                     ("frame_hook_copy_" + std::to_string(getpid()) + ".so");
  std::filesystem::copy_file(kHook, copy, std::filesystem::copy_options::overwrite_existing);
  const std::string name = copy.string();
  constexpr int kThreads = 4;
  constexpr int kAdds = 25;
  std::latch start(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<TFrameHookList> lists(kThreads);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kAdds; ++i) {
        if (FrameHookAdd(lists[t], {name, std::to_string(t)}) != 0) ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::filesystem::remove(copy);  // the loaded module stays mapped
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  for (const TFrameHookList& list : lists) EXPECT_EQ(list.Count(), size_t{kAdds});
  EXPECT_EQ(CachedCount(name), 1);
}

}  // namespace
}  // namespace orvo
