#pragma once

// Blocking work on a worker thread, awaited from the main thread.
//
// GCC 12 copies a closure passed as a coroutine parameter wrongly (its captures are released
// twice), so the work is a plain function with its arguments, run by QtConcurrent, and its
// outcome travels back as a value.

#include <exception>
#include <optional>
#include <utility>

namespace quorvale::recording {

// What a function returned, or what it threw (QtConcurrent alone would wrap the error).
template <typename T>
struct Attempt
{
    std::optional<T> value;
    std::exception_ptr error;

    T take()
    {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <typename T, typename Function, typename... Args>
Attempt<T> attempt(Function function, Args... args)
{
    Attempt<T> result;
    try {
        result.value = function(std::move(args)...);
    } catch (...) {
        result.error = std::current_exception();
    }
    return result;
}

} // namespace quorvale::recording
