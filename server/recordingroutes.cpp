#include "server/routes.h"

#include "server/httpserver.h"
#include "server/store.h"
#include "server/text.h"
#include "server/util.h"

namespace quorvale::server {

namespace {

constexpr std::size_t maxParameterBytes = 1024;

// Recordings of the caller's pages: the list of a page, uploads (a recorder's are stored once
// per upload id; an imported file has none), the audio, and the transcript that workers make
// in the background after each upload or on request.
class RecordingRoutes final : public Routes
{
public:
    using Routes::Routes;

    void registerWith(Dispatcher &dispatcher) override
    {
        route(dispatcher, "GET", "/api/recordings", Access::Approved, this, &RecordingRoutes::list);
        route(dispatcher, "POST", "/api/recordings", Access::Approved, this,
              &RecordingRoutes::upload);
        route(dispatcher, "GET", "/api/recordings/{}/audio", Access::Approved, this,
              &RecordingRoutes::audio);
        route(dispatcher, "POST", "/api/recordings/{}/transcribe", Access::Approved, this,
              &RecordingRoutes::transcribe);
        route(dispatcher, "GET", "/api/recordings/{}/transcript", Access::Approved, this,
              &RecordingRoutes::transcript);
    }

private:
    Reply list(Call &call)
    {
        const std::string pageId = call.parameter("pageId");
        if (pageId.empty())
            throw Refusal(400, "pageId is required");
        JSON list = JSON::array();
        for (const auto &recording : m_store.recordings().list(call.account().id, pageId))
            list.append(recordingJson(recording));
        return Reply::json(200, JSON::object({{"recordings", list}}));
    }

    Reply upload(Call &call)
    {
        const std::string &accountId = call.account().id;
        Recording recording;
        recording.pageId = call.parameter("pageId");
        recording.uploadId = call.parameter("uploadId");
        recording.name = call.parameter("name");
        if (recording.pageId.empty())
            throw Refusal(400, "pageId is required");
        for (const auto *value : {&recording.pageId, &recording.uploadId, &recording.name}) {
            if (value->size() > maxParameterBytes)
                throw Refusal(400, "a query parameter is longer than 1024 bytes");
        }
        recording.mimeType = call.exchange.request.get_header_value("Content-Type");
        if (!isUsableContentType(recording.mimeType))
            recording.mimeType = "application/octet-stream";

        // A repeated upload is answered without storing its bytes a second time.
        if (auto existing = m_store.recordings().forUpload(accountId, recording.uploadId)) {
            call.exchange.discardBody();
            return Reply::json(200, recordingJson(*existing));
        }

        const auto file = m_store.recordings().receive(accountId);
        call.exchange.readInto(*file, HttpServer::maxUploadBytes, "recording");
        const auto [stored, created] = m_store.recordings().add(accountId, recording, *file);
        if (created)
            m_store.transcriptions().enqueue(accountId, stored.id);
        return Reply::json(created ? 201 : 200, recordingJson(stored));
    }

    Reply audio(Call &call)
    {
        const auto recording = m_store.recordings().find(call.account().id, call.captures[0]);
        if (!recording)
            throw Refusal(404, "there is no such recording");
        return Reply::ofFile(m_store.recordings().audio(call.account().id, *recording),
                             recording->mimeType);
    }

    Reply transcribe(Call &call)
    {
        const std::string &accountId = call.account().id;
        if (!m_store.recordings().find(accountId, call.captures[0]))
            throw Refusal(404, "there is no such recording");
        call.exchange.discardBody();
        return Reply::json(
            202, transcriptionJson(m_store.transcriptions().enqueue(accountId, call.captures[0])));
    }

    Reply transcript(Call &call)
    {
        const std::string &accountId = call.account().id;
        if (!m_store.recordings().find(accountId, call.captures[0]))
            throw Refusal(404, "there is no such recording");
        const auto transcription = m_store.transcriptions().find(accountId, call.captures[0]);
        // Only recordings stored before transcription existed have none.
        if (!transcription)
            throw Refusal(404, "this recording has not been transcribed; ask for a transcription");
        return Reply::json(200, transcriptionJson(*transcription));
    }
};

} // namespace

std::unique_ptr<Routes> makeRecordingRoutes(Store &store)
{
    return std::make_unique<RecordingRoutes>(store);
}

} // namespace quorvale::server
