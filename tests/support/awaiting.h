#pragma once

// Runs a task to its end from a test, within a time limit, and keeps what it threw.
// QCoro::waitFor alone never returns when the task throws, nor when it never ends.

#include "files/error.h"
#include "service/serviceerror.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>

namespace quorvale::test {

template <typename T>
struct Outcome
{
    std::optional<T> value;
    std::optional<ServiceError> serviceError;
    QString error;      // what the user would be shown of anything it threw
    QString otherError; // the same, when it was not a ServiceError
    bool ok() const { return value.has_value(); }
};

struct Done
{};

namespace detail {

template <typename T>
using Value = std::conditional_t<std::is_void_v<T>, Done, T>;

template <typename T>
struct State
{
    Outcome<Value<T>> outcome;
    bool done = false;
};

void keep(auto &outcome, const std::exception &e)
{
    outcome.error = describe(e);
    if (const auto *service = dynamic_cast<const ServiceError *>(&e))
        outcome.serviceError = *service;
    else
        outcome.otherError = outcome.error;
}

} // namespace detail

// Awaits task inside another task and answers its outcome instead of throwing.
template <typename T>
QCoro::Task<Outcome<detail::Value<T>>> capture(QCoro::Task<T> task)
{
    Outcome<detail::Value<T>> outcome;
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            outcome.value = Done{};
        } else {
            outcome.value = co_await std::move(task);
        }
    } catch (const std::exception &e) {
        detail::keep(outcome, e);
    }
    co_return outcome;
}

namespace detail {

// Shared with the test: a task that outlives its time limit writes into state kept alive here.
template <typename T>
QCoro::Task<> run(QCoro::Task<T> task, std::shared_ptr<State<T>> state)
{
    state->outcome = co_await capture(std::move(task));
    state->done = true;
}

} // namespace detail

// A task started now and awaited later.
template <typename T>
class Pending
{
public:
    explicit Pending(QCoro::Task<T> task)
        : m_state(std::make_shared<detail::State<T>>())
    {
        detail::run<T>(std::move(task), m_state);
    }

    bool done() const { return m_state->done; }

    // Its outcome. One that has not ended within limit answers with the error "timed out"
    // instead of hanging the suite.
    Outcome<detail::Value<T>> finish(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        // Woken by each event, not polled: QTest::qWaitFor sleeps 10 ms between passes, which
        // a transfer made of thousands of small steps would pay at every step.
        const QDeadlineTimer deadline(limit);
        QTimer alarm; // wakes the wait at the deadline
        alarm.setSingleShot(true);
        alarm.setTimerType(Qt::PreciseTimer);
        while (!m_state->done && !deadline.hasExpired()) {
            if (!alarm.isActive())
                alarm.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        if (!m_state->done) {
            Outcome<detail::Value<T>> late;
            late.error = late.otherError = QStringLiteral("timed out");
            return late;
        }
        return m_state->outcome;
    }

private:
    std::shared_ptr<detail::State<T>> m_state;
};

template <typename T>
Pending<T> start(QCoro::Task<T> task)
{
    return Pending<T>(std::move(task));
}

template <typename T>
Outcome<detail::Value<T>> finish(QCoro::Task<T> task,
                                 std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    return start(std::move(task)).finish(limit);
}

// The error text of task, empty when it succeeded.
inline QString errorOf(QCoro::Task<> task,
                       std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    return finish(std::move(task), limit).error;
}

} // namespace quorvale::test
