#pragma once

// Audio as speech engines take it: any format FFmpeg reads, decoded and converted to a 16 kHz
// mono 16-bit WAV file.

#include <filesystem>
#include <stdexcept>

namespace quorvale::server {

class AudioError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Writes wav from the first audio stream of input; answers its length in seconds. Throws
// AudioError when input holds no audio that can be decoded or wav cannot be written.
double writeSpeechWav(const std::filesystem::path &input, const std::filesystem::path &wav);

} // namespace quorvale::server
