#pragma once
// The built-in profile catalogue: three categories and the display names of their profiles. A
// profile's code is category x 100 + position; its parameters live in the catalogue file.
#include <string>
#include <vector>

namespace orvo {

inline constexpr int kProfileCategories = 3;

struct TProfileName {
  int Code;
  const char* DisplayName;
};

// The header text of a category 0..2 ("" for any other number).
std::string CategoryName(int category);
// The profiles of a category in position order.
std::vector<TProfileName> CategoryProfiles(int category);
// Every profile code in list order: 0, 1, 100..109, 200..206.
std::vector<int> AllProfileCodes();
// The display name of a code, "" when there is no such profile.
std::string ProfileDisplayName(int code);

// The default profile: the Flash SWF profile.
inline constexpr int kDefaultProfileCode = 1;

}  // namespace orvo
