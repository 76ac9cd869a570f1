// Figures for the probe and the log sink: how long opening and describing a file takes, and how
// many library log lines per second the sink assembles and delivers.
#include <benchmark/benchmark.h>

#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "component/AVProbe.h"
#include "support/test_media.h"

namespace {

using orvo::testing::TestMediaSpec;

std::string MakeFile(const std::string& name, const std::string& container, const std::string& video,
                     const std::string& audio, bool twoPrograms = false) {
  TestMediaSpec recipe;
  recipe.container = container;
  recipe.videoEncoder = video;
  recipe.audioEncoder = audio;
  recipe.seconds = 5.0;
  recipe.metadata = {{"title", "Benchmark"}, {"artist", "Orvo"}};
  if (twoPrograms) {
    recipe.secondPair = true;
    recipe.programs = {{1, {{"service_name", "One"}}, {0, 1}}, {2, {{"service_name", "Two"}}, {2, 3}}};
  }
  return orvo::testing::WriteTestMedia(orvo::testing::TestMediaDir() + "/" + name, recipe);
}

const std::string& File(int which) {
  static const std::string files[] = {
      MakeFile("bench.avi", "avi", "mpeg4", "mp2"),
      MakeFile("bench.mkv", "matroska", "libx264", "aac"),
      MakeFile("bench.ts", "mpegts", "mpeg2video", "mp2", true),
      MakeFile("bench.mp3", "mp3", "", "libmp3lame"),
  };
  return files[which];
}

void BM_ProbeLoadFile(benchmark::State& state) {
  const std::string& file = File(static_cast<int>(state.range(0)));
  state.SetLabel(file.substr(file.rfind('.') + 1));
  orvo::TAVProbe probe;
  for (auto _ : state) {
    if (!probe.LoadFile(file)) state.SkipWithError(probe.LastErrorMessage().c_str());
    benchmark::DoNotOptimize(probe.StreamCount());
  }
}
BENCHMARK(BM_ProbeLoadFile)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_ProbeInfoText(benchmark::State& state) {
  const std::string& file = File(static_cast<int>(state.range(0)));
  state.SetLabel(file.substr(file.rfind('.') + 1));
  orvo::TAVProbe probe;
  probe.LoadFile(file);
  for (auto _ : state) benchmark::DoNotOptimize(probe.GetInfoText());
}
BENCHMARK(BM_ProbeInfoText)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

// Library output assembled into lines and delivered straight to the handler.
void BM_LibraryLogLines(benchmark::State& state) {
  auto& logger = orvo::Logger();
  logger.TriggerEventInMainThread = false;
  size_t delivered = 0;
  logger.OnLog = [&](const void*, uint32_t, orvo::TLogLevel, const std::string&) { ++delivered; };
  for (auto _ : state) {
    av_log(nullptr, AV_LOG_INFO, "frame=%5d fps=%.1f ", 1234, 29.97);
    av_log(nullptr, AV_LOG_INFO, "size=%8dkB\n", 4096);
  }
  logger.OnLog = nullptr;
  state.counters["lines/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_LibraryLogLines)->Threads(1)->Threads(2);

}  // namespace

int main(int argc, char** argv) {
  orvo::FFLoader().LoadLibraries(orvo::ConverterLibraries);
  orvo::Logger().SetLogLevel(orvo::llInfo);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
