#pragma once

// Everything the reference server keeps, under one data directory: the database with its
// schema, and one store per resource on top of it. Safe to use from many threads and beside
// other processes on the same data directory.

#include "server/accountstore.h"
#include "server/database.h"
#include "server/importstore.h"
#include "server/nocopy.h"
#include "server/outbox.h"
#include "server/recordingstore.h"
#include "server/sessionstore.h"
#include "server/transcriptionstore.h"
#include "server/workspacestore.h"

#include <filesystem>

namespace quorvale::server {

class Store final
{
public:
    // Opens the database in dataDir and brings its schema up to date (creating it on first
    // use); throws DatabaseError for a database made by a newer server.
    explicit Store(const std::filesystem::path &dataDir);
    QV_NO_COPY(Store)

    // Removes what uploads and imported files cut short by a crash left behind.
    void removeAbandonedUploads();

    Outbox &outbox() { return m_outbox; }
    AccountStore &accounts() { return m_accounts; }
    SessionStore &sessions() { return m_sessions; }
    WorkspaceStore &workspaces() { return m_workspaces; }
    RecordingStore &recordings() { return m_recordings; }
    ImportStore &imports() { return m_imports; }
    TranscriptionStore &transcriptions() { return m_transcriptions; }

private:
    Database m_database;
    Outbox m_outbox;
    AccountStore m_accounts;
    SessionStore m_sessions;
    WorkspaceStore m_workspaces;
    RecordingStore m_recordings;
    ImportStore m_imports;
    TranscriptionStore m_transcriptions;
};

} // namespace quorvale::server
