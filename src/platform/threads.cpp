#include "platform/threads.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace orvo {

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

int NicenessOf(TThreadPriority priority) {
  switch (priority) {
    case TThreadPriority::tpIdle: return 19;
    case TThreadPriority::tpLower: return 5;
    case TThreadPriority::tpLowest: return 10;
    case TThreadPriority::tpNormal: break;
  }
  return 0;
}

bool SetCurrentThreadPriority(TThreadPriority priority) {
  // On Linux the niceness of PRIO_PROCESS with a thread id applies to that thread alone.
  return ::setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), NicenessOf(priority)) == 0;
}

}  // namespace orvo
