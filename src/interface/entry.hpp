// entry.hpp: the frame of every function that CPython calls: protected region, last-resort guard.
#pragma once

#include <Python.h>

#include <cstdlib>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "failure.hpp"
#include "pending_error.hpp"
#include "py_ref.hpp"
#include "surface.hpp"

namespace kelmor {

namespace detail {
// The failure that stands in for an exhausted heap (its report is written).
Failure out_of_memory_failure();
} // namespace detail

// Runs `body`, which gives Expected<PyRef> (a function's result) or Expected<int> (a slot's),
// and gives CPython's return value directly: the new reference or the int, or `error_value`
// with the current exception set when the body gave a Python error or raised a failure.
// A failure that escapes while the exception is being set ends the process through the
// last-resort guard.
template <typename Result, typename Body>
Result run_entry(Result error_value, Body &&body) noexcept {
    try {
        PanicTrap guard("uncaught panic at ffi boundary");
        // The failure is kept whole: copying its message could need memory that is not there.
        std::optional<Failure> failure;
        // The protected region. Anything but a failure is a bug and goes on to the guard.
        try {
            auto result = body();
            if (!result) {
                // Setting a Python error throws nothing, so it may stay in the region.
                std::move(result.error()).restore();
                return error_value;
            }
            if constexpr (std::is_same_v<std::remove_cvref_t<decltype(*result)>, PyRef>) {
                return result.value().release();
            } else {
                return result.value();
            }
        } catch (Failure &caught) {
            failure.emplace(std::move(caught));
        } catch (const std::bad_alloc &) {
            failure.emplace(detail::out_of_memory_failure());
        }
        surface_failure(failure->message());
        return error_value;
    } catch (...) {
        // Not reached: the guard ends the process while an exception leaves its scope. The
        // handler exists so that the scope is unwound at all (no unwinding into a noexcept
        // frame without one).
        std::abort();
    }
}

} // namespace kelmor
