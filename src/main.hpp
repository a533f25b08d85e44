// The run driver: command line, checks, window and magnification, the scan
// and the summary lines.
#pragma once

#include <span>

#include "output.hpp"

namespace ostrel {

// One whole run with the given arguments (the program name not included),
// writing to `out`; returns the exit status: 0 done, 1 usage or a layout or
// interval that does not fit, 2 an input that cannot be read as a wave
// file, a read that failed or an output that cannot be written, 130 or 143
// when SIGINT or SIGTERM ended the input during the scan (what was read is
// still shown).
int Run(std::span<const char* const> args, Output& out);

class Input;
// The same with an input that the caller made: the fuzz target feeds a
// stream to it. Run opens it.
int Run(std::span<const char* const> args, Input& input, Output& out);

}  // namespace ostrel
