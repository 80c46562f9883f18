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

}  // namespace korvel
