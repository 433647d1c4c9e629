#pragma once

// The caller's workspace document, saved on top of the revision it read, and the meetings
// derived from its pages.

#include "server/dispatcher.h"

namespace quorvale::server {

class RecordingStore;
class WorkspaceStore;

class WorkspaceRoutes final
{
public:
    WorkspaceRoutes(WorkspaceStore &workspaces, RecordingStore &recordings);
    void registerWith(Dispatcher &dispatcher);

private:
    Reply workspace(Call &call);
    Reply save(Call &call);
    Reply meetings(Call &call);

    WorkspaceStore &m_workspaces;
    RecordingStore &m_recordings;
};

} // namespace quorvale::server
