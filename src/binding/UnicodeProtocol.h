#pragma once
// Handing file names to the media libraries. The libraries on this platform take UTF-8 names as
// they are, so names pass unchanged; names in the "unicode:utf8:" form (written by earlier
// versions or reported back by the libraries) still convert back to plain names.
#include <string>

namespace orvo {

// The 13 characters "unicode:utf8:".
extern const char* const UnicodeUrlPrefix;

// Whether a name would need the wrapped form: false when its text before the first ":" is one of
// the protocols in ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:" (case-sensitive); otherwise
// true when the name does not survive the round trip through the system's text encoding
// (here: it is not valid UTF-8).
bool NeedsUnicodeUrl(const std::string& name);

// The form to pass to the libraries.
std::string ToLibraryFileName(const std::string& name);

// The inverse, for names the libraries report: "unicode:utf8:" + name (at least 14 bytes) gives
// the name; anything else is returned unchanged.
std::string FromLibraryFileName(const std::string& name);

// Records that the protocol is registered, once per process; called when avformat loads.
void RegisterUnicodeProtocol();
bool UnicodeProtocolRegistered();

}  // namespace orvo
