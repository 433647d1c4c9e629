#pragma once

// What Notion imports left for the caller: the files of a page's import with its list layout,
// each file as stored, and previews of imported images. Previewing and committing a ZIP are
// announced but not built yet (501).

#include "server/dispatcher.h"

namespace quorvale::server {

class ImportStore;
class WorkspaceStore;

class ImportRoutes final
{
public:
    ImportRoutes(ImportStore &imports, WorkspaceStore &workspaces);
    void registerWith(Dispatcher &dispatcher);

private:
    Reply resources(Call &call);
    Reply file(Call &call);
    Reply preview(Call &call);

    ImportStore &m_imports;
    WorkspaceStore &m_workspaces;
};

} // namespace quorvale::server
