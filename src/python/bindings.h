// The exported functions register themselves: each py_*.cpp file defines one
// `Bindings` table of its functions, and module.cpp adds whatever tables the
// library holds when it is loaded. Nothing else lists the functions.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>

#include "python/python.h"

namespace korvel::py {

// A function's place in the module's __all__, counted from 1. Tables load in
// no fixed order, so the order users see is written next to each function;
// module initialisation refuses places that are repeated or leave a gap.
struct Place {
    std::size_t value;
};

// One exported function (see signature.h for how `bind` makes one).
struct Binding {
    Place place;
    const char* name;
    PyObject* (*function)(PyObject* self, PyObject* args, PyObject* kwargs);
    std::string (*text_signature)();
    const char* doc;  // the docstring after its signature line
};

// The tables loaded so far, newest first, linked while the library loads.
struct BindingList {
    std::span<const Binding> bindings;
    const BindingList* next;
};
const BindingList* registered_bindings();
void register_bindings(BindingList& list) noexcept;

// The functions of one file. Defined once, at namespace scope:
//   const Bindings kFitBindings{bind<kOne, one>(Place{5}, "..."), ...};
template <std::size_t N>
class Bindings {
public:
    template <class... B>
    explicit Bindings(const B&... bindings) noexcept : bindings_{bindings...} {
        register_bindings(list_);
    }
    Bindings(const Bindings&) = delete;
    Bindings& operator=(const Bindings&) = delete;

private:
    std::array<Binding, N> bindings_;
    BindingList list_{bindings_, nullptr};
};
template <class... B>
Bindings(const B&...) -> Bindings<sizeof...(B)>;

}  // namespace korvel::py
