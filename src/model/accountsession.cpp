#include "accountsession.h"

#include "workspacemodel.h"

#include "service/vault.h"

#include <QPointer>
#include <QTimer>

#include <coroutine>

namespace quorvale {

// Wakes the account check: when its interval is over, when a new check replaces it, and when
// the model goes away. It resumes the sleeping loop directly, so that a model being destroyed
// sees its loop end before it is gone.
class ObservationClock final : public QObject
{
public:
    struct Sleep
    {
        ObservationClock *clock;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> sleeper) noexcept { clock->m_sleeper = sleeper; }
        void await_resume() const noexcept {}
    };

    ObservationClock()
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, this, &ObservationClock::wake);
    }

    Sleep sleep(std::chrono::milliseconds interval)
    {
        m_timer.start(interval);
        return Sleep{this};
    }

    void wake()
    {
        m_timer.stop();
        if (std::coroutine_handle<> sleeper = std::exchange(m_sleeper, nullptr))
            sleeper.resume();
    }

private:
    QTimer m_timer;
    std::coroutine_handle<> m_sleeper;
};

AccountSession::AccountSession(WorkspaceModel &model)
    : m_model(model)
{}

AccountSession::~AccountSession()
{
    stopObserving();
}

QCoro::Task<> AccountSession::connect()
{
    WorkspaceModel &m = m_model;
    try {
        const JSON me = co_await m.m_service.json(QStringLiteral("/auth/me"), "GET");
        m.setAccount(me["account"]);
        if (m.approved())
            co_await m.load();
        observe();
    } catch (const ServiceError &e) {
        if (e.status() == 401) {
            // An expired session: back to the sign-in screen without an alert.
            m.setAccount(JSON());
            m.m_service.setToken(std::nullopt);
            Vault::clear(*m.m_secrets);
        } else {
            m.setMessage(e.message());
            observeWhileSignedIn();
        }
    } catch (const std::exception &e) {
        m.setMessage(describe(e));
        // The server may come back: the account check retries what failed.
        observeWhileSignedIn();
    }
}

void AccountSession::observeWhileSignedIn()
{
    if (m_model.m_service.token())
        observe();
}

void AccountSession::stopObserving()
{
    // A new generation ends the running loop, which is woken to notice it.
    ++m_observation;
    if (m_clock)
        m_clock->wake();
}

void AccountSession::observe()
{
    stopObserving();
    if (!m_clock)
        m_clock = std::make_unique<ObservationClock>();
    observation(m_observation);
}

QCoro::Task<> AccountSession::observation(quint64 generation)
{
    QPointer<WorkspaceModel> self(&m_model);
    const auto current = [&] { return self && m_observation == generation; };
    for (;;) {
        if (!current())
            co_return;
        co_await m_clock->sleep(m_interval);
        if (!current())
            co_return;
        WorkspaceModel &m = m_model;
        try {
            const QByteArray body =
                co_await m.m_service.request(QStringLiteral("/auth/me"), "GET", std::nullopt,
                                             QStringLiteral("application/json"));
            if (!current())
                co_return;
            const JSON me = JSON::decode(
                std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
            const bool wasApproved = m.approved();
            if (me["account"]["status"].stringValue() != "approved")
                m.clearPrivateMemory();
            m.setAccount(me["account"]);
            // Approved since the last check, or approved but the first load failed.
            if ((!wasApproved || !m.m_document.loaded()) && m.approved() && !m.dirty())
                co_await m.load();
            if (current() && m.isAdmin())
                co_await m.loadAccounts();
        } catch (const ServiceError &e) {
            if (current() && (e.status() == 401 || e.status() == 403)) {
                m.clearPrivateMemory();
                m.setAccount(JSON());
            }
        } catch (const std::exception &) {
            // The periodic check reports nothing; the next one tries again.
        }
    }
}

void AccountSession::signIn()
{
    WorkspaceModel *m = &m_model;
    m->run([m]() -> QCoro::Task<> {
        co_await m->m_service.signIn();
        co_await m->connect();
    });
}

void AccountSession::logout()
{
    WorkspaceModel *m = &m_model;
    m->run([m]() -> QCoro::Task<> {
        QPointer<WorkspaceModel> self(m);
        co_await m->flushDraft();
        if (!self)
            co_return;
        // Edits the draft could not keep (a locked keyring) are exported, or the user stays.
        if (!m->editsKept() && !m->exportDraft())
            throw ServiceError(
                0, m->text("Tus cambios no están en el borrador local. Desbloquea el llavero o "
                           "expórtalos antes de cerrar sesión.",
                           "Your changes are not in the local draft. Unlock the keyring or "
                           "export them before signing out."));
        co_await m->m_service.logout();
        m->m_session.stopObserving();
        m->clearPrivateMemory();
        m->setAccount(JSON());
    });
}

} // namespace quorvale
