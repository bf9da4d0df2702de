// entry.cpp: the frame of every function that CPython calls: protected region, last-resort guard.
#include <Python.h>

#include "entry.hpp"

namespace kelmor::detail {

Failure out_of_memory_failure() {
    try {
        raise_null_result();
    } catch (Failure &failure) {
        return std::move(failure);
    }
}

} // namespace kelmor::detail
