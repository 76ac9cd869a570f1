#pragma once
// The task list component: the application's way to convert files. It holds a list of tasks,
// each a conversion engine with its input and output records, runs them one after another or
// several at once in worker threads, and reports progress, preview bitmaps, hooked pictures and
// the end of each task (and of the whole run) through four events.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "binding/FFmpegLoader.h"
#include "component/AVProbe.h"
#include "component/TaskOptions.h"
#include "engine/FFmpeg.h"
#include "platform/bitmap.h"
#include "platform/threads.h"

namespace orvo {

// A task: an engine that also keeps a probe on each opened input and the records it was given.
class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg() = default;
  ~TFFmpeg() override;

  // The probe attached to input `index`; null when there is none.
  TAVProbe* Probe(int index) const;
  void AttachProbeToLastInput();

  std::vector<TInputOptions> InputRecords;
  std::vector<TOutputOptions> OutputRecords;

 private:
  std::vector<std::unique_ptr<TAVProbe>> probes_;
};

// Owns the tasks; broadcasts pause, resume, stop and the preview bits to all of them. Workers
// look their engine up while the list may change, so the list is guarded; a removed engine
// leaves the list before it is freed (freeing waits for its worker).
class TFFmpegList {
 public:
  int Add(std::unique_ptr<TFFmpeg> task);
  void Delete(int index);
  void Clear();
  int Count() const;
  TFFmpeg* At(int index) const;
  // -1 for an engine that is not (or no longer) in the list.
  int IndexOf(const TCustomFFmpeg* task) const;

  void Pause();
  void Resume();
  void Stop(bool wait);
  void SetPreviewBit(int bit, bool on);

 private:
  std::vector<TFFmpeg*> Snapshot() const;
  mutable std::mutex lock_;
  std::vector<std::unique_ptr<TFFmpeg>> tasks_;
};

struct TProgressInfo {
  int32_t TaskIndex = 0;
  int32_t FileIndex = -1;
  int32_t FrameNumber = -1;
  int32_t FPS = -1;
  float Quality = -1.0f;
  float BitRate = 0;
  int64_t CurrentSize = 0;
  int64_t CurrentDuration = 0;
  int64_t TotalDuration = -1;
};

struct TTerminateInfo {
  int32_t TaskIndex = -1;  // -1: the whole run has ended
  bool Finished = false;
  bool Exception = false;
  std::string ExceptionMsg;
};

struct THookInfo {
  int32_t TaskIndex = 0;
  TBitmap* Bitmap = nullptr;
  int32_t FrameNumber = 0;
  int64_t PTS = 0;
  bool Update = true;
  bool StopHook = false;
};

struct TPreviewInfo {
  int32_t TaskIndex = 0;
  TBitmap* Bitmap = nullptr;
  int32_t FrameNumber = 0;
  int64_t PTS = 0;
};

class TCustomFFmpegVCL;
using TCustomHookEvent = std::function<void(TCustomFFmpegVCL& sender, THookInfo* info)>;
using TPreviewBitmapEvent =
    std::function<void(TCustomFFmpegVCL& sender, const TPreviewInfo& info)>;
using TProgressEvent = std::function<void(TCustomFFmpegVCL& sender, TProgressInfo* info)>;
using TTerminateEvent = std::function<void(TCustomFFmpegVCL& sender, const TTerminateInfo& info)>;

class TCustomFFmpegVCL {
 public:
  TCustomFFmpegVCL();
  virtual ~TCustomFFmpegVCL();
  TCustomFFmpegVCL(const TCustomFFmpegVCL&) = delete;
  TCustomFFmpegVCL& operator=(const TCustomFFmpegVCL&) = delete;

  // Loads the converter's libraries; false with LastErrMsg.
  bool LoadAVLib(const std::string& libraryFolder = std::string());
  // A task for the input file; its index, or -1 with LastErrMsg.
  int AddTask(const std::string& fileName, const TInputOptions* options = nullptr);
  // An output file of a task; false with LastErrMsg.
  bool SetOutputFile(int taskIndex, const std::string& fileName,
                     const TOutputOptions* options = nullptr);
  void RemoveTask(int taskIndex);
  void ClearTasks();
  // Runs every task: parallelCount > 0 tasks at once in worker threads (returns at once);
  // otherwise one after another in the calling thread (returns when all have ended).
  void StartTask(int parallelCount);
  void PauseTask();
  void ResumeTask();
  void StopTask(bool wait);
  int TasksCount() const { return tasks_.Count(); }
  TAVProbe* AVProbes(int taskIndex, int inputIndex) const;
  TFFmpeg* Task(int taskIndex) const { return tasks_.At(taskIndex); }
  // The component's own probe, for looking at files.
  TAVProbe& Probe() { return probe_; }

  std::string LastErrMsg() const;
  bool Working() const { return working_; }
  bool AllDone() const { return allDone_; }
  const std::string& Version() const { return version_; }
  std::string About;

  bool Preview() const { return preview_; }
  void SetPreview(bool on);
  bool PreviewBitmap() const { return previewBitmap_; }
  void SetPreviewBitmap(bool on);
  // Milliseconds; values up to 100 are stored as 100.
  int ProgressInterval() const { return progressInterval_; }
  void SetProgressInterval(int ms) { progressInterval_ = ms <= 100 ? 100 : ms; }
  TThreadPriority ThreadPriority = TThreadPriority::tpNormal;
  bool TriggerEventInMainThread = true;
  // Codec threads of every task added afterwards: 0 lets the libraries choose.
  int Threads = 0;

  TCustomHookEvent OnCustomHook;
  TPreviewBitmapEvent OnPreviewBitmap;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

 protected:
  // The engines' four callbacks land here.
  virtual void DoCustomHook(TCustomFFmpeg& engine, TBitmap& bitmap, bool& stop, bool& update,
                            int64_t pts, int frame);
  virtual void DoPreviewBitmap(TCustomFFmpeg& engine, TBitmap& bitmap, int64_t pts, int frame);
  virtual void DoProgress(TCustomFFmpeg& engine, const TConversionProgress& info);
  virtual void DoTerminate(TCustomFFmpeg& engine);

 private:
  void CheckIdle(const char* operation) const;
  void StartNextTask();
  void DeliverTerminate(const TTerminateInfo& info);
  void Fail(const std::string& message);

  TFFmpegList tasks_;
  TAVProbe probe_;
  std::mutex hookLock_, previewLock_, progressLock_, terminateLock_;
  mutable std::mutex stateLock_;  // counters, flags, last error
  THookInfo hookInfo_;
  TPreviewInfo previewInfo_;
  TProgressInfo progressInfo_;
  int finishedCount_ = 0;
  int nextTask_ = -1;
  int remaining_ = 0;
  std::atomic<bool> allDone_{false};
  bool threaded_ = false;
  std::atomic<bool> working_{false};
  bool stopping_ = false;
  std::string lastErrMsg_;
  std::string version_ = "3.3";
  bool preview_ = false;
  bool previewBitmap_ = false;
  int progressInterval_ = 500;
  // Short-lived threads delivering OnTerminate in threaded runs. Finished ones are joined when
  // the tasks are cleared; the rest on destruction, which waits while serving the main thread
  // (a handler may be waiting for it).
  struct TTerminateThread {
    std::thread Thread;
    std::shared_ptr<std::atomic<bool>> Done;
  };
  void ReapTerminateThreads(bool all);
  std::vector<TTerminateThread> terminateThreads_;
  std::mutex terminateThreadsLock_;
  uint64_t nextTerminateTicket_ = 0;  // under terminateThreadsLock_
  std::mutex terminateTurnLock_;
  std::condition_variable terminateTurn_;
  uint64_t servingTerminateTicket_ = 0;  // under terminateTurnLock_
};

class TFFmpegVCL : public TCustomFFmpegVCL {
 public:
  using TCustomFFmpegVCL::TCustomFFmpegVCL;
};

}  // namespace orvo
