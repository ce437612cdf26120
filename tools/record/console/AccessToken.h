// The console's access token: made at start when the operator gives none, printed in the
// console's URL, and carried by every request that must prove it comes from someone who saw
// that URL.
#pragma once

#include <string>
#include <string_view>

namespace sorvo::tools {

// 32 hexadecimal digits from the kernel's random source; empty if it cannot be read.
std::string MakeAccessToken();

// Compares in time independent of where the texts differ, so that the answer's timing
// does not give a guesser the token digit by digit.
bool TokensEqual(std::string_view presented, std::string_view expected);

}  // namespace sorvo::tools
