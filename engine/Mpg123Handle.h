// One libmpg123 decoder set up the way the program decodes MP3: gapless trimming off (every frame
// of a stream comes out whole, first and last included), no messages on stderr, a frame index
// with one entry per frame, and output forced to signed 16-bit at every rate, mono or stereo.
// Every decoder of the program starts here (deck reader, analysis, tools, tests), so that all of
// them hear the same samples.
#pragma once

#include <mpg123.h>

#include <memory>
#include <string>

namespace mixora::engine {

// After a seek, a frame's main data may begin up to 511 bytes back, spread over many small frames
// of a VBR stream: the decoder decodes this many frames ahead so that the first frame played is
// complete.
constexpr long kMpg123SeekPrerollFrames = 12;

struct Mpg123Deleter {
    void operator()(mpg123_handle *handle) const;
};
// Closes (if open) and deletes the handle.
using Mpg123Handle = std::unique_ptr<mpg123_handle, Mpg123Deleter>;

// A new handle, or null with the library's reason in *error. Initialises the library once.
Mpg123Handle newMpg123Handle(std::string *error = nullptr);

// Restricts the output to one rate and channel count (signed 16-bit): later frames of another
// format are converted to it, so every decoded frame of a stream has the same size.
void keepOutputFormat(mpg123_handle *handle, long rate, int channels);

} // namespace mixora::engine
