// The run driver: command line, checks, window and magnification, the scan
// and the summary lines.
#pragma once

#include <span>

#include "output.hpp"

namespace ostrel {

// One whole run with the given arguments (the program name not included),
// writing to `out`; returns the exit status: 0 done, 1 usage or a layout or
// interval that does not fit, 2 an input that cannot be read as a wave
// file, a read that failed or an output that cannot be written.
int Run(std::span<const char* const> args, Output& out);

}  // namespace ostrel
