#pragma once

// The local draft's disk and keyring work, on a worker thread of its own so that typing never
// waits for either. Work runs in the order it was asked for; a draft waiting to be written is
// replaced by a newer one of the same account (newest state wins). Results come back on the
// thread that owns the writer.

#include "draftstore/draftstore.h"
#include "json/json.h"

#include <QDateTime>
#include <QFuture>
#include <QObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace quorvale {

class SecretStore;

// What reading an account's draft found.
struct DraftRead
{
    enum class Outcome {
        None,        // no draft file
        Loaded,      // payload holds it
        Unavailable, // the keyring or the disk cannot answer now; the file may open later
        Damaged,     // it can never be opened (error says why)
    };
    Outcome outcome = Outcome::None;
    JSON payload;
    QString error;
};

class DraftWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DraftWriter)

public:
    // secrets must outlive the writer and be usable from its thread.
    explicit DraftWriter(SecretStore &secrets, QObject *parent = nullptr);
    // Waits for the work already asked for: the last draft reaches the disk before quitting.
    ~DraftWriter() override;

    // Seals and writes payload as the account's draft; answers the write's number, reported by
    // written() once it is durable or has failed.
    quint64 save(const QString &accountId, JSON payload);
    QFuture<DraftRead> load(const QString &accountId);
    // Renames the account's draft aside (see DraftStore::setAside); answers the new path, or
    // an empty text with the error in the second member.
    QFuture<std::pair<QString, QString>> setAside(const QString &accountId, QDateTime now);
    void remove(const QString &accountId);
    // Drops the key kept in memory and the encoded text of the last draft.
    void forget();
    // Finishes once everything asked for before it has run.
    QFuture<void> flush();

signals:
    // A draft of save() is on disk (error empty) or could not be written. Numbers only grow;
    // a number skipped was replaced by a newer draft.
    void written(quint64 number, QString error);

private:
    struct PendingSave
    {
        QString accountId;
        JSON payload;
        quint64 number = 0;
    };

    void post(std::function<void()> work);
    void write(const std::shared_ptr<PendingSave> &draft);
    void run();

    // Touched on the worker only.
    DraftStore m_store;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_work;
    // The draft of the write at the end of the queue, while it has not started: a newer draft
    // of the same account takes its place.
    std::shared_ptr<PendingSave> m_lastWrite;
    bool m_stopping = false;
    quint64 m_numbers = 0;
    std::thread m_thread;
};

} // namespace quorvale
