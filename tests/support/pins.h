// The PINs of a token as shipped; every simulated token starts with them.
#pragma once

namespace qktest {

constexpr char kUserPin[] = "60719283";
constexpr char kDeveloperPin[] = "904817263590481726359048";

}  // namespace qktest
