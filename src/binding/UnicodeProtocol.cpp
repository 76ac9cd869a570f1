#include "binding/UnicodeProtocol.h"

#include <atomic>
#include <string_view>

namespace orvo {

const char* const UnicodeUrlPrefix = "unicode:utf8:";

namespace {

constexpr std::string_view kPrefix = "unicode:utf8:";
constexpr std::string_view kPlainProtocols = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";

std::atomic<bool> gRegistered{false};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra;
    char32_t code;
    char32_t minimum;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, code = c & 0x1F, minimum = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, code = c & 0x0F, minimum = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, code = c & 0x07, minimum = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

bool NeedsUnicodeUrl(const std::string& name) {
  const size_t colon = name.find(':');
  if (colon != std::string::npos) {
    const std::string protocol = ":" + name.substr(0, colon) + ":";
    if (kPlainProtocols.find(protocol) != std::string_view::npos) return false;
  }
  return !IsValidUtf8(name);
}

// The libraries open file names as bytes, so every name (even one that is not valid UTF-8)
// reaches them unchanged; wrapping it would name a protocol they do not have.
std::string ToLibraryFileName(const std::string& name) { return name; }

std::string FromLibraryFileName(const std::string& name) {
  if (name.size() > kPrefix.size() && std::string_view(name).substr(0, kPrefix.size()) == kPrefix)
    return name.substr(kPrefix.size());
  return name;
}

void RegisterUnicodeProtocol() { gRegistered.store(true); }

bool UnicodeProtocolRegistered() { return gRegistered.load(); }

}  // namespace orvo
