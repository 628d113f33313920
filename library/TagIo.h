// Small pieces the tag reader and the write-back share: reading and writing whole, and a TagLib
// file over bytes we have already read, so TagLib parses tags without touching the disk.
#pragma once

#include <taglib/tbytevector.h>
#include <taglib/tfile.h>
#include <taglib/tiostream.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

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

// Writes all size bytes at offset, or at the file position without one; false with errno set.
inline bool writeAll(int fd, const void *data, std::size_t size,
                     std::optional<std::uint64_t> offset = std::nullopt) {
    const auto *bytes = static_cast<const char *>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = offset ? ::pwrite(fd, bytes + done, size - done, static_cast<off_t>(*offset + done))
                                 : ::write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Bytes in memory as a TagLib stream, without a copy; repointed from file to file.
class ViewStream : public TagLib::IOStream {
public:
    void reset(std::string_view data) {
        data_ = data;
        pos_ = 0;
    }
    TagLib::FileName name() const override { return ""; }
    TagLib::ByteVector readBlock(unsigned long length) override {
        const std::size_t n = std::min<std::size_t>(length, data_.size() - pos_);
        TagLib::ByteVector block(data_.data() + pos_, static_cast<unsigned int>(n));
        pos_ += n;
        return block;
    }
    void writeBlock(const TagLib::ByteVector &) override {}
    void insert(const TagLib::ByteVector &, unsigned long, unsigned long) override {}
    void removeBlock(unsigned long, unsigned long) override {}
    bool readOnly() const override { return true; }
    bool isOpen() const override { return true; }
    void seek(long offset, Position p) override {
        const long base = p == Beginning ? 0 : p == Current ? static_cast<long>(pos_) : length();
        pos_ = static_cast<std::size_t>(std::clamp(base + offset, 0L, length()));
    }
    long tell() const override { return static_cast<long>(pos_); }
    long length() override { return static_cast<long>(data_.size()); }
    void truncate(long) override {}

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

struct ViewStreamHolder {
    ViewStream stream;
};

// A TagLib file of bytes in memory with no format of its own: tags are built on it directly.
// The bytes must outlive every tag built on them.
class MemoryFile : private ViewStreamHolder, public TagLib::File {
public:
    MemoryFile() : File(&stream) {}
    explicit MemoryFile(std::string_view data) : File(&stream) { stream.reset(data); }
    void reset(std::string_view data) { stream.reset(data); }
    TagLib::Tag *tag() const override { return nullptr; }
    TagLib::AudioProperties *audioProperties() const override { return nullptr; }
    bool save() override { return false; }
};

} // namespace mixora::tags
