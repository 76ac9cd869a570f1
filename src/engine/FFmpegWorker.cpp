// The life of one conversion task: starting it in a worker thread or in the caller's thread,
// pausing, resuming and stopping it, the task body with its clean-up, and delivering the end.
#include <mutex>
#include <thread>

#include "binding/FFmpegLoader.h"
#include "binding/FFmpegLogger.h"
#include "engine/ConvertThread.h"
#include "engine/FFmpeg.h"
#include "engine/transcode_state.h"
#include "platform/main_thread.h"

namespace orvo {

// ---------------------------------------------------------------------------------------------
// Worker thread

TConvertThread::TConvertThread(TCustomFFmpeg& engine, TThreadPriority priority)
    : engine_(engine), priority_(priority) {
  // Busy from its creation: a stop with waiting waits for the body even before it started.
  engine_.SetRunActive(true);
}

void TConvertThread::Start() {
  if (started_) return;
  started_ = true;
  thread_ = std::thread([this] {
    SetCurrentThreadPriority(priority_);
    engine_.RunTask();
    engine_.SetRunActive(false);
  });
}

// ---------------------------------------------------------------------------------------------
// Control

void TCustomFFmpeg::SetRunActive(bool active) {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    runActive_ = active;
  }
  pauseChanged_.notify_all();
  if (!active) WakeMainThreadWait();
}

TConvertThread* TCustomFFmpeg::StartConvert(bool threaded, TThreadPriority priority) {
  if (running_ || terminated_) return nullptr;
  const char* missing = outputFiles_.empty()  ? "At least one output file must be specified"
                        : inputFiles_.empty() ? "At least one input file must be specified"
                                              : nullptr;
  if (missing) {
    CleanupEngine();
    RecordFailure(missing);
    DeliverEnd();
    return nullptr;
  }
  running_ = true;
  stopRequested_ = false;
  finished_ = false;
  terminated_ = false;
  if (!threaded) {
    RunTask();
    return nullptr;
  }
  if (worker_) worker_->Join();
  worker_ = std::make_unique<TConvertThread>(*this, priority);
  return worker_.get();
}

void TCustomFFmpeg::StopConvert(bool wait) {
  stopRequested_ = true;
  // A worker that was never started runs now and ends at once; a paused one goes on.
  if (worker_ && !worker_->Started()) worker_->Start();
  ResumeConvert();
  if (!wait || !worker_) return;
  auto ended = [this] {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    return !runActive_;
  };
  if (worker_->OnWorkerThread()) return;  // a callback asking to stop cannot wait for itself
  while (!ended()) {
    if (IsMainThread()) {
      // Keep the calls the worker hands to the main thread flowing.
      WaitProcessingCalls(ended, std::chrono::milliseconds(20));
    } else {
      std::unique_lock<std::mutex> lock(pauseMutex_);
      pauseChanged_.wait_for(lock, std::chrono::milliseconds(20), [this] { return !runActive_; });
    }
  }
  worker_->Join();
}

void TCustomFFmpeg::Stop(bool wait) {
  if (running_) {
    StopConvert(wait);
    return;
  }
  if (terminated_) return;
  // Never started: the end is delivered from a thread of its own.
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    if (terminateActive_) return;
    terminateActive_ = true;
  }
  if (terminateThread_.joinable()) terminateThread_.join();
  terminateThread_ = std::thread([this] {
    try {
      DeliverEnd();
    } catch (...) {
      // The terminate callback's failure does not keep the end from being signalled.
    }
    {
      std::lock_guard<std::mutex> lock(pauseMutex_);
      terminateActive_ = false;
    }
    pauseChanged_.notify_all();
    WakeMainThreadWait();
  });
  if (!wait) return;
  auto delivered = [this] {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    return !terminateActive_;
  };
  while (!delivered()) {
    if (IsMainThread()) {
      WaitProcessingCalls(delivered, std::chrono::milliseconds(20));
    } else {
      std::unique_lock<std::mutex> lock(pauseMutex_);
      pauseChanged_.wait_for(lock, std::chrono::milliseconds(20),
                             [this] { return !terminateActive_; });
    }
  }
  terminateThread_.join();
}

void TCustomFFmpeg::PauseConvert() {
  if (!worker_) return;
  std::lock_guard<std::mutex> lock(pauseMutex_);
  paused_ = true;
}

void TCustomFFmpeg::ResumeConvert() {
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    paused_ = false;
  }
  pauseChanged_.notify_all();
}

// Holds the conversion while paused. Called between packets and output frames, where the
// worker holds no shared lock.
void TCustomFFmpeg::WaitWhilePaused() {
  std::unique_lock<std::mutex> lock(pauseMutex_);
  pauseChanged_.wait(lock, [this] { return !paused_ || stopRequested_; });
}

void TCustomFFmpeg::ResetEngine() {
  if (!FFLoader().AreLoaded(ConverterLibraries)) return;
  if (worker_) {
    StopConvert(true);
    worker_.reset();
  }
  if (terminateThread_.joinable()) terminateThread_.join();
  CleanupEngine();
  ResetOptions();
  running_ = false;
  stopRequested_ = false;
  finished_ = false;
  terminated_ = false;
  paused_ = false;
  progressTotal_ = -1;
}

// ---------------------------------------------------------------------------------------------
// Task body

void TCustomFFmpeg::RecordFailure(const std::string& message) {
  Logger().Log(this, llQuiet, message);
  error_ = true;
  std::lock_guard<std::mutex> lock(pauseMutex_);
  errorText_ = message;
}

std::string TCustomFFmpeg::ErrorText() const {
  std::lock_guard<std::mutex> lock(pauseMutex_);
  return errorText_;
}

void TCustomFFmpeg::RunTask() {
  finished_ = false;
  // Each step runs whatever happened in the one before.
  auto guarded = [this](auto step) {
    try {
      step();
    } catch (const std::exception& failure) {
      RecordFailure(failure.what());
    } catch (...) {
      RecordFailure("Unknown error");
    }
  };
  guarded([this] { Transcode(); });
  guarded([this] { CloseOpenCodecs(); });
  guarded([this] { run_.reset(); });
  guarded([this] { CleanupEngine(); });
  guarded([this] { DeliverEnd(); });
}

void TCustomFFmpeg::CloseOpenCodecs() {
  if (!run_) return;
  std::lock_guard<std::mutex> lock(GlobalCodecLock());
  // Closing is freeing here: the contexts belong to the setup tables, which keep them until
  // the files are closed; an encoder that is no longer open is not touched again.
  for (TOutputStreamState& ost : run_->OutputStreams) {
    ost.EncoderOpen = false;
    // The pass-2 statistics go with the run.
    if (ost.Encoder) ost.Encoder->stats_in = nullptr;
  }
  for (TInputStreamState& ist : run_->InputStreams) ist.DecoderOpen = false;
}

void TCustomFFmpeg::CleanupEngine() {
  if (!FFLoader().AreLoaded(ConverterLibraries)) return;
  run_.reset();
  CloseFiles();
  FrameHookRelease(frameHooks_);
  opt_.IntraMatrix.reset();
  opt_.InterMatrix.reset();
  opt_.VideoCodecName.reset();
  opt_.AudioCodecName.reset();
  opt_.SubtitleCodecName.reset();
  opt_.VStatsFileName.reset();
  opt_.VideoStandard.reset();
  opt_.VideoLanguage.clear();
  opt_.AudioLanguage.clear();
  opt_.SubtitleLanguage.clear();
  opt_.VideoBitstreamFilters.clear();
  opt_.AudioBitstreamFilters.clear();
  opt_.SubtitleBitstreamFilters.clear();
  hookConverter_.Reset();
  previewConverter_.Reset();
  deinterlacer_.reset();
}

void TCustomFFmpeg::DeliverEnd() {
  running_ = false;
  terminated_ = true;
  if (OnTerminate) OnTerminate(*this);
}

}  // namespace orvo
