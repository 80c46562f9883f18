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

// An argument that no computation could use (a parameter the fit does not
// have, a grid value that is no rate, a shape that disagrees), found before
// any work. It names the argument; the binding layer raises it as
// ValueError("argument '<name>': <message>").
class ArgumentError : public std::invalid_argument {
public:
    ArgumentError(const std::string& name, const std::string& message)
        : std::invalid_argument("argument '" + name + "': " + message) {}
};

}  // namespace korvel
