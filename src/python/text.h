// Functions of the module that korvel_analysis calls and users do not: added
// to the module by name, outside __all__ and the function table.
#pragma once

#include "python/python.h"

namespace korvel::py {

// The private functions, ending with an entry whose name is nullptr.
PyMethodDef* private_methods() noexcept;

}  // namespace korvel::py
