#pragma once

// Runs a task to its end from a test and keeps what it threw. QCoro::waitFor alone never
// returns when the task throws.

#include "service/serviceerror.h"

#include <QCoroTask>

#include <optional>

namespace quorvale::test {

template <typename T>
struct Outcome
{
    std::optional<T> value;
    std::optional<ServiceError> serviceError;
    QString otherError; // text of any other error
    bool ok() const { return value.has_value(); }
};

struct Done
{};

template <typename T>
QCoro::Task<Outcome<T>> capture(QCoro::Task<T> task)
{
    Outcome<T> outcome;
    try {
        outcome.value = co_await std::move(task);
    } catch (const ServiceError &e) {
        outcome.serviceError = e;
    } catch (const std::exception &e) {
        outcome.otherError = QString::fromUtf8(e.what());
    }
    co_return outcome;
}

inline QCoro::Task<Outcome<Done>> capture(QCoro::Task<> task)
{
    Outcome<Done> outcome;
    try {
        co_await std::move(task);
        outcome.value = Done{};
    } catch (const ServiceError &e) {
        outcome.serviceError = e;
    } catch (const std::exception &e) {
        outcome.otherError = QString::fromUtf8(e.what());
    }
    co_return outcome;
}

template <typename T>
auto finish(QCoro::Task<T> task)
{
    return QCoro::waitFor(capture(std::move(task)));
}

} // namespace quorvale::test
