#pragma once

// Recordings of the caller's pages: the list of a page, uploads that are stored once per
// upload id, and the audio. Transcription is announced but not built yet (501).

#include "server/dispatcher.h"

namespace quorvale::server {

class RecordingStore;

class RecordingRoutes final
{
public:
    explicit RecordingRoutes(RecordingStore &recordings);
    void registerWith(Dispatcher &dispatcher);

private:
    Reply list(Call &call);
    Reply upload(Call &call);
    Reply audio(Call &call);

    RecordingStore &m_recordings;
};

} // namespace quorvale::server
