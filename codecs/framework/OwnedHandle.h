// The one owning handle for the libraries' C objects: a unique_ptr that gives its object back with
// the library's own function, so no codec writes a deleter struct of its own.
#pragma once

#include <memory>

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* object) const {
        Free(object);
    }
};

template <class T, auto Free>
using Owned = std::unique_ptr<T, FreeWith<Free>>;
