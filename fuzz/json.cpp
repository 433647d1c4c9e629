// The JSON decoder on arbitrary bytes: text it accepts writes out and reads back as the same
// value, and text it refuses is a DecodeError, never anything worse.

#include "json/json.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using quorvale::JSON;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    JSON value;
    try {
        value = JSON::decode(std::string_view(reinterpret_cast<const char *>(data), size));
    } catch (const JSON::DecodeError &) {
        return 0;
    }
    if (JSON::decode(value.encode()) != value)
        std::abort();
    return 0;
}
