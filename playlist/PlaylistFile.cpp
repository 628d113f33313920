#include "playlist/PlaylistFile.h"

#include "util/LineFile.h"

#include <filesystem>
#include <system_error>

namespace mixora::playlist {

namespace fs = std::filesystem;

std::vector<std::string> splitLines(std::string_view bytes) {
    if (const auto zero = bytes.find('\0'); zero != std::string_view::npos)
        bytes = bytes.substr(0, zero);
    return text::decodeLines(bytes);
}

std::string encodeMxp(const std::vector<std::string> &entries) {
    return text::encodeLines(entries, "\r\n");
}

std::optional<std::vector<std::string>> readPlaylistLines(const std::string &file) {
    if (file.empty())
        return std::nullopt;
    try {
        return splitLines(text::readFileBytes(file));
    } catch (const text::FileError &) {
        return std::nullopt;
    }
}

bool writeMxp(const std::string &file, const std::vector<std::string> &entries) {
    std::error_code ec;
    if (file.empty() || fs::is_directory(file, ec))
        return false;
    try {
        text::writeLineFile(file, entries, "\r\n");
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

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The path of a "file://" address ("file:///home/a%20b.mp3", "file:///C:/x.mp3").
std::string pathOfFileUrl(std::string_view url) {
    url.remove_prefix(7);
    if (const auto slash = url.find('/'); slash != std::string_view::npos)
        url.remove_prefix(slash); // the host part, empty or "localhost"
    if (url.size() >= 3 && url[0] == '/' && hasDrive(std::string(url.substr(1, 2))))
        url.remove_prefix(1);
    std::string path;
    for (std::size_t i = 0; i < url.size(); ++i) {
        const int high = url[i] == '%' && i + 2 < url.size() ? hexValue(url[i + 1]) : -1;
        const int low = high >= 0 ? hexValue(url[i + 2]) : -1;
        if (low >= 0) {
            path += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            path += url[i];
        }
    }
    return path;
}

} // namespace

std::optional<std::string> m3uEntry(const std::string &line, const std::string &m3uFile) {
    if (line.find_first_not_of(" \t") == std::string::npos || line.front() == '#')
        return std::nullopt;
    if (line.compare(0, 7, "file://") == 0)
        return pathOfFileUrl(line);
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
    const std::size_t ending = kindOf(m3uFile) == PlaylistKind::M3u && m3uFile.back() == '8' ? 4 : 3;
    if (m3uFile.size() < ending)
        return m3uFile;
    return m3uFile.substr(0, m3uFile.size() - ending) + "mxp";
}

PlaylistKind kindOf(const std::string &file) {
    if (file.size() >= 4) {
        const std::string_view tail = std::string_view(file).substr(file.size() - 4);
        if (tail == ".mxp")
            return PlaylistKind::Mxp;
        if (tail == ".m3u")
            return PlaylistKind::M3u;
    }
    if (file.size() >= 5 && std::string_view(file).substr(file.size() - 5) == ".m3u8")
        return PlaylistKind::M3u;
    return PlaylistKind::None;
}

std::string fileNameOf(const std::string &path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace mixora::playlist
