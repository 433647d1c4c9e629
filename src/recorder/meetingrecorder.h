#pragma once

// Records a meeting: the microphone and the computer's audio output, each to its own track.

namespace quorvale {

} // namespace quorvale
