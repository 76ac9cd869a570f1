#include "component/FFmpegVCL.h"

#include <algorithm>
#include <chrono>

#include "binding/FFmpegLogger.h"
#include "binding/file_helpers.h"
#include "engine/ConvertThread.h"
#include "platform/main_thread.h"

namespace orvo {

// ---------------------------------------------------------------------------------------------
// Task and task list

TFFmpeg::~TFFmpeg() {
  // The probes only look at the inputs' contexts; they let go before the engine closes them.
  for (auto& probe : probes_) probe->CloseFile();
}

TAVProbe* TFFmpeg::Probe(int index) const {
  return index >= 0 && index < int(probes_.size()) ? probes_[size_t(index)].get() : nullptr;
}

void TFFmpeg::AttachProbeToLastInput() {
  auto probe = std::make_unique<TAVProbe>();
  probe->AttachContext(InputFile(InputFileCount() - 1).Context.get());
  probes_.push_back(std::move(probe));
}

int TFFmpegList::Add(std::unique_ptr<TFFmpeg> task) {
  std::lock_guard<std::mutex> lock(lock_);
  tasks_.push_back(std::move(task));
  return static_cast<int>(tasks_.size()) - 1;
}

void TFFmpegList::Delete(int index) {
  std::unique_ptr<TFFmpeg> gone;
  {
    std::lock_guard<std::mutex> lock(lock_);
    if (index < 0 || index >= static_cast<int>(tasks_.size())) return;
    gone = std::move(tasks_[size_t(index)]);
    tasks_.erase(tasks_.begin() + index);
  }
  // Freed outside the lock: freeing waits for the worker, which may still look itself up.
}

void TFFmpegList::Clear() {
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  {
    std::lock_guard<std::mutex> lock(lock_);
    gone.swap(tasks_);
  }
  for (auto& task : gone) task.reset();
}

int TFFmpegList::Count() const {
  std::lock_guard<std::mutex> lock(lock_);
  return static_cast<int>(tasks_.size());
}

TFFmpeg* TFFmpegList::At(int index) const {
  std::lock_guard<std::mutex> lock(lock_);
  return index >= 0 && index < static_cast<int>(tasks_.size()) ? tasks_[size_t(index)].get()
                                                               : nullptr;
}

int TFFmpegList::IndexOf(const TCustomFFmpeg* task) const {
  std::lock_guard<std::mutex> lock(lock_);
  for (size_t i = 0; i < tasks_.size(); ++i) {
    if (tasks_[i].get() == task) return static_cast<int>(i);
  }
  return -1;
}

std::vector<TFFmpeg*> TFFmpegList::Snapshot() const {
  std::lock_guard<std::mutex> lock(lock_);
  std::vector<TFFmpeg*> tasks;
  for (const auto& task : tasks_) tasks.push_back(task.get());
  return tasks;
}

// The broadcasts work on a snapshot: stopping waits for workers that look themselves up.
void TFFmpegList::Pause() {
  for (TFFmpeg* task : Snapshot()) task->PauseConvert();
}

void TFFmpegList::Resume() {
  for (TFFmpeg* task : Snapshot()) task->ResumeConvert();
}

void TFFmpegList::Stop(bool wait) {
  for (TFFmpeg* task : Snapshot()) task->Stop(wait);
}

void TFFmpegList::SetPreviewBit(int bit, bool on) {
  for (TFFmpeg* task : Snapshot()) {
    const int flags = task->PreviewFlags();
    task->SetPreviewFlags(on ? flags | bit : flags & ~bit);
  }
}

// ---------------------------------------------------------------------------------------------
// Component

TCustomFFmpegVCL::TCustomFFmpegVCL() = default;

TCustomFFmpegVCL::~TCustomFFmpegVCL() {
  tasks_.Stop(true);
  tasks_.Clear();
  ReapTerminateThreads(true);
}

void TCustomFFmpegVCL::ReapTerminateThreads(bool all) {
  const std::thread::id self = std::this_thread::get_id();
  if (all) {
    auto ended = [this, self] {
      std::lock_guard<std::mutex> lock(terminateThreadsLock_);
      return std::all_of(terminateThreads_.begin(), terminateThreads_.end(),
                         [self](const TTerminateThread& t) {
                           return *t.Done || t.Thread.get_id() == self;
                         });
    };
    // A handler may be handing work to the main thread: keep serving it meanwhile.
    while (!ended()) {
      if (IsMainThread())
        WaitProcessingCalls(ended, std::chrono::milliseconds(20));
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::vector<std::thread> finished;
  {
    std::lock_guard<std::mutex> lock(terminateThreadsLock_);
    for (auto it = terminateThreads_.begin(); it != terminateThreads_.end();) {
      if (it->Thread.get_id() == self) {
        // Freed from its own handler: that thread ends by itself.
        if (all) it->Thread.detach();
        if (all) it = terminateThreads_.erase(it);
        else ++it;
      } else if (*it->Done) {
        finished.push_back(std::move(it->Thread));
        it = terminateThreads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Past their last step: joining takes a moment.
  for (std::thread& t : finished) t.join();
}

bool TCustomFFmpegVCL::LoadAVLib(const std::string& libraryFolder) {
  FFLoader().SetLibraryPath(libraryFolder);
  if (FFLoader().LoadLibraries(ConverterLibraries)) return true;
  std::lock_guard<std::mutex> lock(stateLock_);
  lastErrMsg_ = FFLoader().LastError();
  return false;
}

std::string TCustomFFmpegVCL::LastErrMsg() const {
  std::lock_guard<std::mutex> lock(stateLock_);
  return lastErrMsg_;
}

void TCustomFFmpegVCL::Fail(const std::string& message) {
  std::lock_guard<std::mutex> lock(stateLock_);
  lastErrMsg_ = message;
}

void TCustomFFmpegVCL::CheckIdle(const char* operation) const {
  if (working_) throw std::runtime_error(FormatText("Cannot %s while working.", operation));
}

int TCustomFFmpegVCL::AddTask(const std::string& fileName, const TInputOptions* options) {
  CheckIdle("AddTask");
  auto task = std::make_unique<TFFmpeg>();
  try {
    task->ResetEngine();
    task->DispatchOption("v", "1");
    task->DispatchOption("threads", std::to_string(Threads));
    task->SetPreviewFlags((preview_ ? kPreviewWindow : 0) | (previewBitmap_ ? kPreviewBitmap : 0));
    task->OnPreviewBitmap = [this](TCustomFFmpeg& engine, TBitmap& bitmap, int64_t pts, int frame) {
      DoPreviewBitmap(engine, bitmap, pts, frame);
    };
    if (options) {
      TInputOptions record = *options;
      if (record.FileName.empty()) record.FileName = fileName;
      ApplyInputOptions(*task, record);
      task->InputRecords.push_back(record);
    }
    if (!task->OpenInputFile(fileName)) {
      Fail(task->LastErrorText());
      return -1;
    }
  } catch (const std::exception& error) {
    Fail(error.what());
    return -1;
  }
  task->AttachProbeToLastInput();
  task->OnProgress = [this](TCustomFFmpeg& engine, const TConversionProgress& info) {
    DoProgress(engine, info);
  };
  task->OnTerminate = [this](TCustomFFmpeg& engine) { DoTerminate(engine); };
  return tasks_.Add(std::move(task));
}

bool TCustomFFmpegVCL::SetOutputFile(int taskIndex, const std::string& fileName,
                                     const TOutputOptions* options) {
  CheckIdle("SetOutputFile");
  TFFmpeg* task = tasks_.At(taskIndex);
  if (!task) {
    Fail(FormatText("Task index %d out of range", taskIndex));
    return false;
  }
  if (task->OutputFileCount() >= MAX_FILES) {
    Fail(FormatText("max output files %d reached", MAX_FILES));
    return false;
  }
  try {
    int result = -1;
    if (options) {
      TOutputOptions record = *options;
      if (record.FileName.empty()) record.FileName = fileName;
      TPendingStreamOptions pending;
      ApplyOutputOptions(*task, record, pending, LocalBaseBiasMinutes());
      if (record.CustomHook) {
        task->OnCustomHook = [this](TCustomFFmpeg& engine, TBitmap& bitmap, bool& stop,
                                    bool& update, int64_t pts, int frame) {
          DoCustomHook(engine, bitmap, stop, update, pts, frame);
        };
      }
      result = task->OpenOutputFile(fileName, record.Join);
      if (result >= 0) AddExtraStreams(*task, record, pending);
      task->OutputRecords.push_back(record);
    } else {
      result = task->OpenOutputFile(fileName, false);
    }
    if (result < 0) {
      Fail(task->LastErrorText());
      return false;
    }
  } catch (const std::exception& error) {
    Fail(error.what());
    return false;
  }
  return true;
}

void TCustomFFmpegVCL::RemoveTask(int taskIndex) {
  CheckIdle("RemoveTask");
  tasks_.Delete(taskIndex);
}

void TCustomFFmpegVCL::ClearTasks() {
  if (working_ && !allDone_) throw std::runtime_error("Cannot ClearTasks while working.");
  tasks_.Clear();
  // Threads still telling an end (perhaps the one clearing) finish on their own.
  ReapTerminateThreads(false);
  std::lock_guard<std::mutex> lock(stateLock_);
  lastErrMsg_.clear();
  finishedCount_ = 0;
  nextTask_ = -1;
  remaining_ = 0;
  allDone_ = false;
  threaded_ = false;
  working_ = false;
  stopping_ = false;
}

void TCustomFFmpegVCL::StartTask(int parallelCount) {
  CheckIdle("StartTask");
  // Nothing to run: no run starts, so none would ever end; the component stays idle.
  if (tasks_.Count() == 0) return;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    finishedCount_ = 0;
    nextTask_ = 0;
    remaining_ = tasks_.Count();
    allDone_ = false;
    threaded_ = parallelCount > 0;
    working_ = true;
    stopping_ = false;
  }
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(stateLock_);
      if (remaining_ <= 0 || stopping_) break;
    }
    StartNextTask();
    if (threaded_ && --parallelCount <= 0) break;
  }
}

void TCustomFFmpegVCL::StartNextTask() {
  TFFmpeg* task = nullptr;
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    if (remaining_ <= 0 || stopping_) return;
    --remaining_;
    task = tasks_.At(nextTask_++);
  }
  if (!task) return;
  task->ProgressInterval = int64_t(progressInterval_) * 1000;
  if (threaded_) {
    if (TConvertThread* worker = task->StartConvert(true, ThreadPriority)) worker->Start();
  } else {
    task->StartConvert(false, ThreadPriority);
  }
}

void TCustomFFmpegVCL::PauseTask() { tasks_.Pause(); }

void TCustomFFmpegVCL::ResumeTask() { tasks_.Resume(); }

void TCustomFFmpegVCL::StopTask(bool wait) {
  {
    std::lock_guard<std::mutex> lock(stateLock_);
    stopping_ = true;
    remaining_ = 0;
  }
  tasks_.Stop(wait);
}

TAVProbe* TCustomFFmpegVCL::AVProbes(int taskIndex, int inputIndex) const {
  const TFFmpeg* task = tasks_.At(taskIndex);
  return task ? task->Probe(inputIndex) : nullptr;
}

void TCustomFFmpegVCL::SetPreview(bool on) {
  preview_ = on;
  tasks_.SetPreviewBit(kPreviewWindow, on);
}

void TCustomFFmpegVCL::SetPreviewBitmap(bool on) {
  previewBitmap_ = on;
  tasks_.SetPreviewBit(kPreviewBitmap, on);
}

// ---------------------------------------------------------------------------------------------
// Events

void TCustomFFmpegVCL::DoCustomHook(TCustomFFmpeg& engine, TBitmap& bitmap, bool& stop,
                                    bool& update, int64_t pts, int frame) {
  if (!OnCustomHook) return;
  std::lock_guard<std::mutex> lock(hookLock_);
  hookInfo_.TaskIndex = tasks_.IndexOf(&engine);
  hookInfo_.Bitmap = &bitmap;
  hookInfo_.FrameNumber = frame;
  hookInfo_.PTS = pts;
  hookInfo_.Update = update;
  hookInfo_.StopHook = stop;
  {
    std::lock_guard<TBitmap> canvas(bitmap);
    OnCustomHook(*this, &hookInfo_);
  }
  update = hookInfo_.Update;
  stop = hookInfo_.StopHook;
}

void TCustomFFmpegVCL::DoPreviewBitmap(TCustomFFmpeg& engine, TBitmap& bitmap, int64_t pts,
                                       int frame) {
  if (!OnPreviewBitmap) return;
  std::lock_guard<std::mutex> lock(previewLock_);
  previewInfo_.TaskIndex = tasks_.IndexOf(&engine);
  previewInfo_.Bitmap = &bitmap;
  previewInfo_.FrameNumber = frame;
  previewInfo_.PTS = pts;
  if (TriggerEventInMainThread)
    RunInMainThread([this] { OnPreviewBitmap(*this, previewInfo_); });
  else
    OnPreviewBitmap(*this, previewInfo_);
}

void TCustomFFmpegVCL::DoProgress(TCustomFFmpeg& engine, const TConversionProgress& info) {
  if (!OnProgress) return;
  std::lock_guard<std::mutex> lock(progressLock_);
  progressInfo_.TaskIndex = tasks_.IndexOf(&engine);
  progressInfo_.FileIndex = info.FileIndex;
  progressInfo_.FrameNumber = info.Frame;
  progressInfo_.FPS = info.Fps;
  progressInfo_.Quality = info.Quality;
  progressInfo_.BitRate = info.BitRate;
  progressInfo_.CurrentSize = info.Size;
  progressInfo_.CurrentDuration = info.Time;
  progressInfo_.TotalDuration = info.Total;
  if (TriggerEventInMainThread)
    RunInMainThread([this] { OnProgress(*this, &progressInfo_); });
  else
    OnProgress(*this, &progressInfo_);
}

void TCustomFFmpegVCL::DeliverTerminate(const TTerminateInfo& info) {
  if (!OnTerminate) return;
  if (!threaded_) {
    OnTerminate(*this, info);
    return;
  }
  // In threaded runs the end is told from a short-lived thread of its own; the threads take
  // turns, so the events arrive in the order the tasks ended and the run's end comes last.
  std::lock_guard<std::mutex> lock(terminateThreadsLock_);
  const uint64_t ticket = nextTerminateTicket_++;
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread thread([this, info, ticket, done] {
    std::unique_lock<std::mutex> turn(terminateTurnLock_);
    terminateTurn_.wait(turn, [&] { return servingTerminateTicket_ == ticket; });
    turn.unlock();
    try {
      OnTerminate(*this, info);
    } catch (...) {
      // A failing handler must not keep the next ends from being told.
    }
    turn.lock();
    ++servingTerminateTicket_;
    terminateTurn_.notify_all();
    turn.unlock();
    *done = true;
    WakeMainThreadWait();
  });
  terminateThreads_.push_back({std::move(thread), std::move(done)});
}

void TCustomFFmpegVCL::DoTerminate(TCustomFFmpeg& engine) {
  bool startNext = false;
  // In the calling thread the events are told after the lock is let go: a handler that stops
  // the run waits for the ends of the tasks that never started, which come from other threads
  // through this same lock.
  std::vector<TTerminateInfo> toTell;
  {
    std::lock_guard<std::mutex> lock(terminateLock_);
    TTerminateInfo info;
    info.TaskIndex = tasks_.IndexOf(&engine);
    // An engine that has left the list is being freed: its end is no task's end any more.
    if (info.TaskIndex < 0) return;
    info.Finished = engine.Finished();
    info.Exception = engine.Error();
    info.ExceptionMsg = engine.ErrorText();
    toTell.push_back(info);

    bool runEnded = false;
    {
      std::lock_guard<std::mutex> state(stateLock_);
      ++finishedCount_;
      if (remaining_ < 1)
        runEnded = finishedCount_ >= tasks_.Count();
      else
        startNext = threaded_;
    }
    if (runEnded) {
      TTerminateInfo end;
      end.TaskIndex = -1;
      end.Finished = true;
      toTell.push_back(end);
    }
    if (threaded_) {
      // In threaded runs the run is done before its end is told, so the handler may clear the
      // tasks; the events go to their own threads in this order.
      if (runEnded) allDone_ = true;
      for (const TTerminateInfo& i : toTell) DeliverTerminate(i);
      toTell.clear();
    }
  }
  // In the calling thread the handler runs inside the last task's run, which must not be freed
  // under it: there the run is done after its end was told.
  for (const TTerminateInfo& i : toTell) {
    DeliverTerminate(i);
    if (i.TaskIndex < 0) allDone_ = true;
  }
  // Outside the lock: a task that cannot start ends at once, in this same thread.
  if (startNext) StartNextTask();
}

}  // namespace orvo
