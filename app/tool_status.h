// Exit statuses of kivtool and of the unpacking it shares with the window's tests: all well, a
// problem or difference found, trouble (a file that cannot be read, wrong words on the command
// line).
#pragma once

namespace kiv {

inline constexpr int kToolOk = 0;
inline constexpr int kToolProblem = 1;  // a problem or a difference found
inline constexpr int kToolTrouble = 2;

}  // namespace kiv
