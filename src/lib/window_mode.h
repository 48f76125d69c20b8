#pragma once

#include <string>

#include "model/engine_inputs.h"

namespace velkan::py {

// Trims Unicode White_Space, lowers ASCII capitals and names the mode; throws
// ErrorAlreadySet with the ValueError set when the text names no mode.
WindowMode parse_window_mode(const std::string& utf8);

// The trimmed, ASCII-lowered text (exposed for the error message).
std::string normalise_window_mode(const std::string& utf8);

}  // namespace velkan::py
