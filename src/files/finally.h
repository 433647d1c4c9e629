#pragma once

// Runs its work when the scope ends, however it ends: coroutines use it to undo what they
// announced (a transfer shown, a directory marked busy) when they throw or their owner is gone.

#include <functional>
#include <utility>

namespace quorvale {

class Finally
{
public:
    explicit Finally(std::function<void()> work)
        : m_work(std::move(work))
    {}
    ~Finally() { m_work(); }
    Finally(const Finally &) = delete;
    Finally &operator=(const Finally &) = delete;

private:
    std::function<void()> m_work;
};

} // namespace quorvale
