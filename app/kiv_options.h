// kiv's options, each declared once: the parser, the help text and the tests that hold the
// manual page and the README to them all come from this table.
#pragma once

#include <array>

#include "common/command_line.h"

namespace kiv {

extern const std::array<OptionEntry, 12> kKivOptions;

}  // namespace kiv
