#include "playlist/PlaylistFile.h"

#include "playlist/TextCodec.h"
#include "util/LineFile.h"

#include <filesystem>
#include <system_error>

namespace mixora::playlist {

namespace fs = std::filesystem;

std::vector<std::string> splitLines(std::string_view bytes) {
    if (const auto zero = bytes.find('\0'); zero != std::string_view::npos)
        bytes = bytes.substr(0, zero);
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(bytes.substr(start, i - start));
            i += (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ? 2 : 1;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < bytes.size())
        lines.emplace_back(bytes.substr(start));
    return lines;
}

std::string encodeMxp(const std::vector<std::string> &entries) {
    std::string out;
    for (const auto &e : entries) {
        out += encodeLine(e);
        out += "\r\n";
    }
    return out;
}

std::optional<std::vector<std::string>> readPlaylistLines(const std::string &file) {
    std::error_code ec;
    if (file.empty() || fs::is_directory(file, ec))
        return std::nullopt;
    std::string bytes;
    try {
        bytes = text::readFileBytes(file);
    } catch (const text::FileError &) {
        return std::nullopt;
    }
    auto lines = splitLines(bytes);
    for (auto &l : lines)
        l = decodeLine(l);
    return lines;
}

bool writeMxp(const std::string &file, const std::vector<std::string> &entries) {
    std::error_code ec;
    if (file.empty() || fs::is_directory(file, ec))
        return false;
    try {
        text::writeFileAtomically(file, encodeMxp(entries));
    } catch (const text::FileError &) {
        return false;
    }
    return true;
}

namespace {

bool hasDrive(const std::string &path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

} // namespace

std::optional<std::string> m3uEntry(const std::string &line, const std::string &m3uFile) {
    if (line.empty() || line.front() == '#')
        return std::nullopt;
    if (line.front() == '\\') {
        // A Linux list path has no drive to lend; its "\" line stays as written.
        return hasDrive(m3uFile) ? m3uFile.substr(0, 2) + line : line;
    }
    if (line.front() == '/' || hasDrive(line))
        return line;
    if (hasDrive(m3uFile)) {
        // A list kept on a drive-letter path: its folder ends at the last separator of either kind.
        const auto slash = m3uFile.find_last_of("\\/");
        return slash == std::string::npos ? line : m3uFile.substr(0, slash + 1) + line;
    }
    const fs::path folder = fs::path(m3uFile).parent_path();
    if (folder.empty())
        return line;
    return (folder / line).lexically_normal().string();
}

std::vector<std::string> m3uEntries(const std::vector<std::string> &lines, const std::string &m3uFile) {
    std::vector<std::string> entries;
    for (const auto &l : lines)
        if (auto e = m3uEntry(l, m3uFile))
            entries.push_back(std::move(*e));
    return entries;
}

std::string convertedName(const std::string &m3uFile) {
    if (m3uFile.size() < 3)
        return m3uFile;
    return m3uFile.substr(0, m3uFile.size() - 3) + "mxp";
}

PlaylistKind kindOf(const std::string &file) {
    if (file.size() >= 4) {
        const std::string_view tail = std::string_view(file).substr(file.size() - 4);
        if (tail == ".mxp")
            return PlaylistKind::Mxp;
        if (tail == ".m3u")
            return PlaylistKind::M3u;
    }
    return PlaylistKind::None;
}

std::string fileNameOf(const std::string &path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace mixora::playlist
