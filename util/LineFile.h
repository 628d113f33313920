// Line-based text files in Windows-1252 that never lose a character: a line that
// Windows-1252 can hold is written in it, any other line is written as UTF-8; on reading,
// a line that is valid UTF-8 is taken as UTF-8, any other as Windows-1252. (Pure ASCII
// reads the same either way.) Used by the settings file and the playlist files.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mixora::text {

// Encodes one line (without its line end) by the rule above.
std::string encodeLine(std::string_view utf8Line);
// Decodes one line (without its line end) by the rule above.
std::string decodeLine(std::string_view bytes);

// Splits file bytes into UTF-8 lines. Lines end with LF, CR LF or a lone CR; a last line
// without a line end counts, an empty remainder after the last line end does not. A UTF-8
// byte-order mark in front (other programs write one) is dropped, not taken as text.
std::vector<std::string> decodeLines(std::string_view bytes);
// The bytes without a leading UTF-8 byte-order mark.
std::string_view withoutByteOrderMark(std::string_view bytes);
// Joins encoded lines, each followed by lineEnd (the last one too).
std::string encodeLines(const std::vector<std::string> &utf8Lines, std::string_view lineEnd = "\r\n");

// Thrown when a file cannot be read or written; what() names the file and the reason.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Line files are small; anything bigger is not one of ours and would only exhaust memory.
inline constexpr std::size_t kMaxLineFileBytes = std::size_t{16} << 20;

// Reads a whole regular file of at most maxBytes. Throws FileError when it cannot be read,
// is larger, or is no regular file (a FIFO would block the caller, a device never end).
std::string readFileBytes(const std::filesystem::path &file, std::size_t maxBytes = kMaxLineFileBytes);
// The one way this program replaces a file: a new hidden file beside the target is filled,
// synced and renamed over it, so a crash or a power cut leaves either the old or the new file,
// never half of one. The new file is created exclusively (never through a link planted under
// its name). A link is followed: the file it names is replaced, the link stays. A replaced
// file keeps its permissions and, where we may set it, its owner; the folder is synced after
// the rename.
enum class ReplaceStage { TempCreated, Synced, Renamed };
struct ReplaceSteps {
    // Writes the new content; returns 0 or an errno value.
    std::function<int(int fd)> fill;
    // Just before the rename: false (with a reason) abandons the new file.
    std::function<bool(std::string &reason)> beforeRename;
    // Right after the rename, or its failure.
    std::function<void(bool renamed)> afterRename;
    std::function<void(ReplaceStage)> reached; // for tests that stop the writer
};
struct ReplaceResult {
    bool renamed = false; // the new file stands in the old one's place
    int error = 0;        // errno of the step that failed, 0 for none or a reason
    std::string reason;   // from beforeRename
    bool created = true;  // false: the new file could not even be created
    bool ok() const { return renamed && error == 0 && reason.empty(); }
};
ReplaceResult replaceFile(const std::filesystem::path &file, const ReplaceSteps &steps);

// replaceFile with these bytes; throws FileError.
void writeFileAtomically(const std::filesystem::path &file, std::string_view bytes);

// Reads a line file by the rule above; throws FileError.
std::vector<std::string> readLineFile(const std::filesystem::path &file);
// Writes a line file by the rule above, atomically; throws FileError.
void writeLineFile(const std::filesystem::path &file, const std::vector<std::string> &utf8Lines,
                   std::string_view lineEnd = "\r\n");

} // namespace mixora::text
