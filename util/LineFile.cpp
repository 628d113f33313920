#include "util/LineFile.h"

#include "util/Cp1252.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

std::vector<std::string> decodeLines(std::string_view bytes) {
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

std::string readFileBytes(const std::filesystem::path &file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw FileError("Datei " + file.string() + " kann nicht geöffnet werden: " + systemReason(errno));
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            throw FileError("Datei " + file.string() + " kann nicht gelesen werden: " + systemReason(error));
        }
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

void writeFileAtomically(const std::filesystem::path &file, std::string_view bytes) {
    const auto fail = [&](const std::string &what, int error) {
        throw FileError("Datei " + file.string() + " kann nicht " + what + " werden: " + systemReason(error));
    };
    std::filesystem::path temp = file;
    temp += ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        fail("erstellt", errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(temp.c_str());
            fail("geschrieben", error);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        fail("geschrieben", error);
    }
    // Keep the permissions of the file we replace.
    struct stat old {};
    if (::stat(file.c_str(), &old) == 0)
        ::chmod(temp.c_str(), old.st_mode & 07777);
    if (::rename(temp.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        fail("geschrieben", error);
    }
}

std::vector<std::string> readLineFile(const std::filesystem::path &file) {
    return decodeLines(readFileBytes(file));
}

void writeLineFile(const std::filesystem::path &file, const std::vector<std::string> &utf8Lines,
                   std::string_view lineEnd) {
    writeFileAtomically(file, encodeLines(utf8Lines, lineEnd));
}

} // namespace mixora::text
