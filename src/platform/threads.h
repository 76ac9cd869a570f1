#pragma once
#include <cstdint>

namespace orvo {

// The operating system's id of the calling thread (fits 32 bits on this platform).
uint32_t CurrentThreadId();

// Thread priorities the program uses, in the order the settings store them.
enum class TThreadPriority { tpIdle = 0, tpNormal = 1, tpLower = 2, tpLowest = 3 };

// Applies a priority to the calling thread through its scheduling niceness. Returns false when the
// system refuses (raising a priority needs privileges; lowering always works).
bool SetCurrentThreadPriority(TThreadPriority priority);

// The niceness each priority maps to.
int NicenessOf(TThreadPriority priority);

}  // namespace orvo
