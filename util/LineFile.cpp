#include "util/LineFile.h"

#include "util/Cp1252.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::text {
namespace {

std::string systemReason(int error) {
    return std::strerror(error);
}

} // namespace

std::string encodeLine(std::string_view utf8Line) {
    auto bytes = utf8ToCp1252Exact(utf8Line);
    // Windows-1252 bytes that happen to be valid UTF-8 ("Ã¤" gives the bytes of "ä") would
    // read back as other text; such a line is written as UTF-8, which reads back as itself.
    if (!bytes || (*bytes != utf8Line && isValidUtf8(*bytes)))
        return std::string(utf8Line);
    return *bytes;
}

std::string decodeLine(std::string_view bytes) {
    if (isValidUtf8(bytes))
        return std::string(bytes);
    return cp1252ToUtf8(bytes);
}

std::string_view withoutByteOrderMark(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    return bytes;
}

std::vector<std::string> decodeLines(std::string_view bytes) {
    bytes = withoutByteOrderMark(bytes);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\n' && bytes[i] != '\r')
            continue;
        lines.push_back(decodeLine(bytes.substr(start, i - start)));
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < bytes.size())
        lines.push_back(decodeLine(bytes.substr(start)));
    return lines;
}

std::string encodeLines(const std::vector<std::string> &utf8Lines, std::string_view lineEnd) {
    std::string out;
    for (const auto &line : utf8Lines) {
        out += encodeLine(line);
        out += lineEnd;
    }
    return out;
}

std::string readFileBytes(const std::filesystem::path &file, std::size_t maxBytes) {
    const auto fail = [&](const std::string &what, const std::string &reason) {
        throw FileError("Datei " + file.string() + " kann nicht " + what + " werden: " + reason);
    };
    const auto notRegular = [&] { fail("geöffnet", "keine gewöhnliche Datei"); };
    const auto tooBig = [&] { fail("geöffnet", "größer als " + std::to_string(maxBytes >> 20) + " MB"); };
    // Looked at before opening, so a device is never opened at all.
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0 && !S_ISREG(info.st_mode))
        notRegular();
    // Non-blocking, so a FIFO swapped in after the look cannot hang the open.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        fail("geöffnet", systemReason(errno));
    const auto closeAndThrow = [&](auto &&thrower) {
        ::close(fd);
        thrower();
    };
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        closeAndThrow([&] { fail("gelesen", systemReason(error)); });
    }
    if (!S_ISREG(info.st_mode))
        closeAndThrow(notRegular);
    if (static_cast<std::uintmax_t>(info.st_size) > maxBytes)
        closeAndThrow(tooBig);
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            closeAndThrow([&] { fail("gelesen", systemReason(error)); });
        }
        if (n == 0)
            break;
        // The file may grow while it is read.
        if (bytes.size() + static_cast<std::size_t>(n) > maxBytes)
            closeAndThrow(tooBig);
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

namespace {

// A new file beside the target, hidden and named so that no scan takes it for a song. The
// name is random and created exclusively: a name that is taken (a stale file of a crashed run,
// or a link someone planted) is never opened, another is tried instead.
int createTemporary(const std::filesystem::path &target, mode_t mode, std::filesystem::path &temp) {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
        temp = target.parent_path() / ("." + target.filename().string() + ".mixora-" + suffix + ".tmp");
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Makes a rename in the folder durable; without it a power cut can bring the old name back
// pointing at nothing. File systems that cannot sync a folder answer EINVAL: nothing to do.
int syncFolderOf(const std::filesystem::path &file) {
    const auto folder = file.parent_path();
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0; // a folder we may write but not read: the rename stands, unsynced
    const int result = ::fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    ::close(fd);
    return result;
}

} // namespace

ReplaceResult replaceFile(const std::filesystem::path &file, const ReplaceSteps &steps) {
    ReplaceResult result;
    const auto reach = [&](ReplaceStage stage) {
        if (steps.reached)
            steps.reached(stage);
    };
    // Follow a link to the file it names; a file yet to be made is made where the path says.
    std::filesystem::path target = file;
    struct stat old {};
    if (::lstat(file.c_str(), &old) == 0) {
        char resolved[PATH_MAX];
        if (::realpath(file.c_str(), resolved) == nullptr) {
            result.error = errno;
            result.created = false;
            return result;
        }
        target = resolved;
    }
    const bool replacing = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    std::filesystem::path temp;
    // A new file gets the usual permissions (umask applies); a replaced one its own, below.
    const int fd = createTemporary(target, replacing ? 0600 : 0666, temp);
    if (fd < 0) {
        result.error = errno;
        result.created = false;
        return result;
    }
    reach(ReplaceStage::TempCreated);
    const auto discard = [&](int error) {
        ::close(fd);
        ::unlink(temp.c_str());
        result.error = error;
        return result;
    };
    if (const int error = steps.fill ? steps.fill(fd) : 0)
        return discard(error);
    if (replacing) {
        if (::fchmod(fd, old.st_mode & 07777) != 0)
            return discard(errno);
        if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Not ours to give away: the file then belongs to us, as any file we save.
        }
    }
    if (::fsync(fd) != 0)
        return discard(errno);
    reach(ReplaceStage::Synced);
    if (steps.beforeRename && !steps.beforeRename(result.reason))
        return discard(0);
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        if (steps.afterRename)
            steps.afterRename(false);
        return discard(error);
    }
    result.renamed = true;
    if (steps.afterRename)
        steps.afterRename(true);
    if (::close(fd) != 0)
        result.error = errno;
    reach(ReplaceStage::Renamed);
    if (const int error = syncFolderOf(target); error != 0 && result.error == 0)
        result.error = error;
    return result;
}

void writeFileAtomically(const std::filesystem::path &file, std::string_view bytes) {
    ReplaceSteps steps;
    steps.fill = [&](int fd) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n < 0 ? errno : EIO;
            done += static_cast<std::size_t>(n);
        }
        return 0;
    };
    const ReplaceResult result = replaceFile(file, steps);
    if (!result.ok())
        throw FileError("Datei " + file.string() + " kann nicht " +
                        (result.created ? "geschrieben" : "erstellt") +
                        " werden: " + systemReason(result.error));
}

std::vector<std::string> readLineFile(const std::filesystem::path &file) {
    return decodeLines(readFileBytes(file));
}

void writeLineFile(const std::filesystem::path &file, const std::vector<std::string> &utf8Lines,
                   std::string_view lineEnd) {
    writeFileAtomically(file, encodeLines(utf8Lines, lineEnd));
}

} // namespace mixora::text
