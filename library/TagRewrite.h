// The write-back for files that carry an ID3v2 or APE tag besides (or instead of) ID3v1:
// their title, artist, year and genre are set to the row's values so the tags never
// disagree. Frames and items the library does not keep stay byte for byte; a tag the file
// lacks is never added. The file is replaced whole and atomically (a new file beside it,
// synced, renamed over it), so a write that fails or is killed leaves the old file or the
// new one, never a mixture; the audio bytes and the file's mode stay.
#pragma once

#include "library/Id3Tag.h"
#include "library/TagLayout.h"

#include <filesystem>
#include <optional>

#include <sys/stat.h>

namespace mixora::tags {

// Points in a rewrite where tests may stop the writer.
enum class RewriteStage { TempCreated, HalfCopied, Synced, Renamed };
extern void (*rewriteHook)(RewriteStage stage);

// The rewrite of an open file (fd, st) whose head holds `id3v2` and whose tail is `tail`;
// `v1` is the ID3v1 tag to write as the write-back always has (over an ID3v1 tag, else
// appended). Nothing when neither ID3v2 nor APE needs a change: the caller then writes the
// ID3v1 tag in place, as for any other file. The new ID3v2 tag keeps the old one's size when
// its frames fit; when the audio must move, `moves` moves its positions (see AudioMove).
std::optional<TagWriteResult> rewriteTags(int fd, const struct stat &st, const std::filesystem::path &file,
                                          const std::optional<Id3v2Header> &id3v2, const TailLayout &tail,
                                          const TagTexts &texts, const ID3Tag &v1,
                                          AudioMove *moves = nullptr);

} // namespace mixora::tags
