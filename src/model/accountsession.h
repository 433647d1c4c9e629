#pragma once

// The model's session area: asking the server who is signed in, the periodic account check
// that follows approvals and lost access, signing in and out, and the number that tells the
// sign-ins apart so that a late answer of an ended one is dropped.

#include <QCoroTask>

#include <chrono>
#include <memory>

namespace quorvale {

class ObservationClock;
class WorkspaceModel;

class AccountSession final
{
public:
    explicit AccountSession(WorkspaceModel &model);
    AccountSession(const AccountSession &) = delete;
    AccountSession &operator=(const AccountSession &) = delete;
    ~AccountSession();

    QCoro::Task<> connect();
    // (Re)starts the periodic account check; at most one runs.
    void observe();
    // Ends the account check; it wakes to notice.
    void stopObserving();
    void signIn();
    void logout();

    // Which sign-in the model's tasks belong to; a new one begins with each account and wipe.
    quint64 number() const { return m_number; }
    void begin() { ++m_number; }

    void setInterval(std::chrono::milliseconds interval) { m_interval = interval; }

private:
    QCoro::Task<> observation(quint64 generation);
    void observeWhileSignedIn();

    WorkspaceModel &m_model;
    quint64 m_number = 0;
    std::chrono::milliseconds m_interval{std::chrono::seconds(45)};
    quint64 m_observation = 0; // generation of the running account check
    std::unique_ptr<ObservationClock> m_clock;
};

} // namespace quorvale
