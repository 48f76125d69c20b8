// The two kinds of failure of the native code.
//
// OrdinaryError: bad input detected by the engine; the boundary raises it as
// the Python class the call site names (for connectivity a RuntimeError with
// the "Connectivity failed: " prefix).
// InternalError: a broken invariant; the boundary raises it as the module's
// InternalError exception carrying the message.
#pragma once

#include <stdexcept>
#include <string>

namespace velkan {

class OrdinaryError : public std::runtime_error {
 public:
  explicit OrdinaryError(const std::string& message) : std::runtime_error(message) {}
};

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace velkan
