// Errors raised by korvel's C++ core.
//
// The numerical kernels never touch Python. A condition that ends a call
// (an index past an input's end, inverted bounds, a NaN inside a simplex, a
// failing entropy source) is thrown as InternalError; the binding layer turns
// it into the Python-side internal-error exception with the same message.
#pragma once

#include <stdexcept>
#include <string>

namespace korvel {

class InternalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An argument of a profile that no computation could use (a parameter the
// fit does not have, a grid value that is no rate), found before any work.
// The profile bindings raise it as ValueError; to everything else it is an
// InternalError.
class ProfileArgumentError : public InternalError {
public:
    using InternalError::InternalError;
};

}  // namespace korvel
