#pragma once

// The speech engine: a child process that reads a 16 kHz mono WAV file and answers timed
// segments of text. The built-in one is Debian's pocketsphinx with its US English model; the
// operator may name any command that takes the WAV path as its last argument and prints
// {"segments": [{"start": s, "end": s, "text": "…"}]} (or just the array) on its output.

#include "json/json.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvale::server {

class EngineError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The engine was stopped because the server is stopping; the work is not at fault.
class EngineCancelled : public std::runtime_error
{
public:
    EngineCancelled()
        : std::runtime_error("the transcription was interrupted")
    {}
};

class SpeechEngine final
{
public:
    // An empty command chooses the built-in engine.
    explicit SpeechEngine(std::string command);

    // Answers {"segments": [{"start", "end", "text"}, …]}. Throws EngineError when the engine
    // fails, prints something else or runs past limit (it is then killed), EngineCancelled
    // when cancelled becomes true meanwhile.
    JSON transcribe(const std::filesystem::path &wav, std::chrono::milliseconds limit,
                    const std::atomic<bool> &cancelled) const;

    // Segments from pocketsphinx_continuous -time yes: utterances cut at pauses, fillers
    // dropped.
    static JSON parsePocketsphinx(std::string_view output);
    // Segments from a replacement engine's JSON, checked and reduced to start, end and text.
    static JSON parseSegments(std::string_view output);

private:
    std::string m_command;
};

} // namespace quorvale::server
