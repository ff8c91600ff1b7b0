// Number lists as both programs take them on the command line and in files: "1-3,5".
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vpitools {

// "1-3,5" -> {1,2,3,5}: numbers and ranges separated by commas, blanks around each allowed;
// every number within [low, high]; the result sorted, without repeats. On failure `why` says
// which item is wrong and `numbers` is left as it was.
bool ParseNumberList(std::string_view text, int low, int high, std::vector<int>* numbers,
                     std::string* why);

}  // namespace vpitools
