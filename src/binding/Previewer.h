#pragma once
// The floating window a conversion shows its preview pictures in. The engine only knows this
// interface; the window program installs a factory for its own window. Without one, no preview
// window can be shown.
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/bitmap.h"

namespace orvo {

class TPreviewer {
 public:
  virtual ~TPreviewer() = default;
  // Shows the picture with its frame number and time (µs). False once the user has closed the
  // window: the engine then stops calling it for this task.
  virtual bool Show(const TBitmap& picture, int frameNumber, int64_t time) = 0;
};

using TPreviewerFactory = std::function<std::unique_ptr<TPreviewer>()>;

// Process-wide; the window program sets it at start-up.
void SetPreviewerFactory(TPreviewerFactory factory);
// A new previewer, or null when no factory is installed.
std::unique_ptr<TPreviewer> CreatePreviewer();

}  // namespace orvo
