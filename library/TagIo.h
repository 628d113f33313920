// Small pieces the tag reader and the write-back share: reading at an offset, and a TagLib
// file over bytes we have already read, so TagLib parses tags without touching the disk.
#pragma once

#include <taglib/tbytevector.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tfile.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <unistd.h>

namespace mixora::tags {

// Reads up to size bytes at offset; returns how many it got (fewer at the end or on error).
inline std::size_t readAt(int fd, void *data, std::size_t size, std::uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(fd, static_cast<char *>(data) + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

struct MemoryStreamHolder {
    explicit MemoryStreamHolder(const TagLib::ByteVector &data) : stream(data) {}
    TagLib::ByteVectorStream stream;
};

// A TagLib file of bytes in memory with no format of its own: tags are built on it directly.
class MemoryFile : private MemoryStreamHolder, public TagLib::File {
public:
    explicit MemoryFile(const TagLib::ByteVector &data) : MemoryStreamHolder(data), File(&stream) {}
    TagLib::Tag *tag() const override { return nullptr; }
    TagLib::AudioProperties *audioProperties() const override { return nullptr; }
    bool save() override { return false; }
};

} // namespace mixora::tags
