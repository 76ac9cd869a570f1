#pragma once
// The worker thread of one conversion task.
#include <thread>

#include "platform/threads.h"

namespace orvo {

class TCustomFFmpeg;

class TConvertThread {
 public:
  TConvertThread(TCustomFFmpeg& engine, TThreadPriority priority);
  ~TConvertThread() {
    Join();
    if (thread_.joinable()) thread_.detach();  // destroyed by its own thread
  }
  TConvertThread(const TConvertThread&) = delete;
  TConvertThread& operator=(const TConvertThread&) = delete;

  // Starts the task body; a thread is started once.
  void Start();
  // Once started, also after the task body has ended and the thread was joined.
  bool Started() const { return started_; }
  bool OnWorkerThread() const { return thread_.get_id() == std::this_thread::get_id(); }
  // Waits for the task body to end (never from the worker itself).
  void Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

 private:
  TCustomFFmpeg& engine_;
  TThreadPriority priority_;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace orvo
