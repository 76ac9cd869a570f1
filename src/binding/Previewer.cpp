#include "binding/Previewer.h"

#include <mutex>

namespace orvo {

namespace {

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}

TPreviewerFactory& Factory() {
  static TPreviewerFactory factory;
  return factory;
}

}  // namespace

void SetPreviewerFactory(TPreviewerFactory factory) {
  std::lock_guard<std::mutex> lock(FactoryLock());
  Factory() = std::move(factory);
}

std::unique_ptr<TPreviewer> CreatePreviewer() {
  TPreviewerFactory factory;
  {
    std::lock_guard<std::mutex> lock(FactoryLock());
    factory = Factory();
  }
  return factory ? factory() : nullptr;
}

}  // namespace orvo
