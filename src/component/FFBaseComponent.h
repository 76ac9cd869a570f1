#pragma once

namespace orvo {

// Common base of the engine's non-visual components (log sink, probe, player). It adds nothing;
// it lets events name any component as their sender.
class TFFBaseComponent {
 public:
  TFFBaseComponent() = default;
  TFFBaseComponent(const TFFBaseComponent&) = delete;
  TFFBaseComponent& operator=(const TFFBaseComponent&) = delete;
  virtual ~TFFBaseComponent() = default;
};

}  // namespace orvo
