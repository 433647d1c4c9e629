#include "draftwriter.h"

#include "service/serviceerror.h"

#include <QPointer>
#include <QPromise>

#include <memory>

#include <pthread.h>

namespace quorvale {

namespace {

// Runs work on the promise's behalf and keeps its answer.
template <typename T, typename Work>
std::function<void()> fulfil(std::shared_ptr<QPromise<T>> promise, Work work)
{
    return [promise = std::move(promise), work = std::move(work)]() mutable {
        promise->start();
        promise->addResult(work());
        promise->finish();
    };
}

} // namespace

DraftWriter::DraftWriter(SecretStore &secrets, QObject *parent)
    : QObject(parent)
    , m_store(secrets)
{
    m_thread = std::thread([this] {
        pthread_setname_np(pthread_self(), "quorvale.draft");
        run();
    });
}

DraftWriter::~DraftWriter()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void DraftWriter::post(std::function<void()> work)
{
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back(std::move(work));
        m_lastWrite.reset();
    }
    m_wake.notify_one();
}

void DraftWriter::run()
{
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_work.empty(); });
            // Stopping still drains what was asked for: it is the user's last edit.
            if (m_work.empty())
                return;
            work = std::move(m_work.front());
            m_work.pop_front();
        }
        work();
    }
}

quint64 DraftWriter::save(const QString &accountId, JSON payload)
{
    std::shared_ptr<PendingSave> draft;
    quint64 number = 0;
    {
        std::lock_guard lock(m_mutex);
        number = ++m_numbers;
        // A write still waiting at the end of the queue takes the newer draft; one already
        // under way is followed by at most one more.
        if (m_lastWrite && m_lastWrite->accountId == accountId) {
            m_lastWrite->payload = std::move(payload);
            m_lastWrite->number = number;
            return number;
        }
        draft = std::make_shared<PendingSave>(PendingSave{accountId, std::move(payload), number});
        m_lastWrite = draft;
        m_work.push_back([this, draft] { write(draft); });
    }
    m_wake.notify_one();
    return number;
}

void DraftWriter::write(const std::shared_ptr<PendingSave> &draft)
{
    PendingSave taken;
    {
        std::lock_guard lock(m_mutex);
        if (m_lastWrite == draft)
            m_lastWrite.reset();
        taken = std::move(*draft);
    }
    QString error;
    try {
        m_store.save(taken.payload, taken.accountId);
    } catch (const std::exception &e) {
        error = describe(e);
    }
    // The payload's last reference is dropped here, not on the main thread's time.
    taken.payload = JSON();
    QMetaObject::invokeMethod(
        this, [this, number = taken.number, error] { emit written(number, error); },
        Qt::QueuedConnection);
}

QFuture<DraftRead> DraftWriter::load(const QString &accountId)
{
    auto promise = std::make_shared<QPromise<DraftRead>>();
    QFuture<DraftRead> future = promise->future();
    post(fulfil(std::move(promise), [this, accountId] {
        DraftRead read;
        try {
            if (std::optional<JSON> payload = m_store.load(accountId)) {
                read.outcome = DraftRead::Outcome::Loaded;
                read.payload = std::move(*payload);
            }
        } catch (const DraftDamaged &e) {
            read.outcome = DraftRead::Outcome::Damaged;
            read.error = describe(e);
        } catch (const std::exception &e) {
            read.outcome = DraftRead::Outcome::Unavailable;
            read.error = describe(e);
        }
        return read;
    }));
    return future;
}

QFuture<std::pair<QString, QString>> DraftWriter::setAside(const QString &accountId, QDateTime now)
{
    auto promise = std::make_shared<QPromise<std::pair<QString, QString>>>();
    QFuture<std::pair<QString, QString>> future = promise->future();
    post(fulfil(std::move(promise), [accountId, now] {
        try {
            return std::pair(DraftStore::setAside(accountId, now), QString());
        } catch (const std::exception &e) {
            return std::pair(QString(), describe(e));
        }
    }));
    return future;
}

void DraftWriter::remove(const QString &accountId)
{
    post([accountId] { DraftStore::remove(accountId); });
}

void DraftWriter::forget()
{
    post([this] { m_store.forget(); });
}

QFuture<void> DraftWriter::flush()
{
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> future = promise->future();
    post([promise] {
        promise->start();
        promise->finish();
    });
    return future;
}

} // namespace quorvale
