#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "binding/UnicodeProtocol.h"

namespace orvo {
namespace {

TEST(LoaderTest, LibrarySetsHoldTheirMembers) {
  const std::vector<int> converter = {liAVCodec, liAVFilter, liAVFormat, liAVUtil, liSWScale,
                                      liMSVCRT};
  for (int i = 0; i < kLibraryCount; ++i) {
    const bool inConverter = std::find(converter.begin(), converter.end(), i) != converter.end();
    EXPECT_EQ(ConverterLibraries.Contains(i), inConverter) << i;
    EXPECT_EQ(PlayerLibraries.Contains(i), inConverter || i == liSDL) << i;
  }
  EXPECT_FALSE(ConverterLibraries.Contains(-1));
  EXPECT_FALSE(ConverterLibraries.Contains(kLibraryCount));
}

TEST(LoaderTest, LoadingTwiceSucceedsAndRunsTheOneTimeStepsAgain) {
  TFFmpegLoader& loader = FFLoader();
  ASSERT_TRUE(loader.LoadLibraries(PlayerLibraries)) << loader.LastError();
  EXPECT_TRUE(loader.AreLoaded(PlayerLibraries));
  EXPECT_TRUE(loader.AreLoaded(ConverterLibraries));
  EXPECT_TRUE(UnicodeProtocolRegistered());

  // Somebody replaced the library log callback; the next load puts the sink's back.
  av_log_set_callback(av_log_default_callback);
  TFFLogger& logger = Logger();
  std::vector<std::string> lines;
  struct Restore {
    TFFLogger& logger;
    ~Restore() {
      logger.OnLog = nullptr;
      logger.TriggerEventInMainThread = true;
    }
  } restore{logger};
  logger.TriggerEventInMainThread = false;
  logger.OnLog = [&](const void*, uint32_t, TLogLevel, const std::string& text) {
    lines.push_back(text);
  };
  av_log(nullptr, AV_LOG_ERROR, "to stderr\n");
  EXPECT_TRUE(lines.empty());

  ASSERT_TRUE(loader.LoadLibraries(ConverterLibraries)) << loader.LastError();
  EXPECT_TRUE(UnicodeProtocolRegistered());
  av_log(nullptr, AV_LOG_ERROR, "to the sink\n");
  EXPECT_EQ(lines, std::vector<std::string>{"to the sink"});
}

TEST(LoaderTest, EmptySetIsRejected) {
  TFFmpegLoader& loader = FFLoader();
  EXPECT_THROW(loader.LoadLibraries(TLibrarySet{}), std::invalid_argument);
  EXPECT_THROW(loader.UnloadLibraries(TLibrarySet{}), std::invalid_argument);
  EXPECT_THROW(loader.AreLoaded(TLibrarySet{}), std::invalid_argument);
  EXPECT_FALSE(loader.LoadLibrary(kLibraryCount));
  EXPECT_FALSE(loader.IsLoaded(-1));
}

TEST(LoaderTest, GlobalCodecLockIsOneLockForTheProcess) {
  std::mutex& lock = GlobalCodecLock();
  EXPECT_EQ(&lock, &GlobalCodecLock());
  std::lock_guard held(lock);
  // Another thread asking for the lock finds it taken.
  auto other = std::async(std::launch::async, [] { return GlobalCodecLock().try_lock(); });
  EXPECT_FALSE(other.get());
}

}  // namespace
}  // namespace orvo
