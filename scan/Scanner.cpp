#include "scan/Scanner.h"

#include "library/Id3Tag.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::scan {

namespace {

// Empty texts are stored as empty fields, like the blank fields of a fresh row.
FieldValue textValue(std::string text) {
    if (text.empty())
        return std::monostate{};
    return FieldValue{std::move(text)};
}

// Reads the last 128 bytes of an open file; false when there are fewer (or it is a folder).
bool readLast128(int fd, unsigned char (&bytes)[128]) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 128)
        return false;
    std::size_t got = 0;
    while (got < 128) {
        const ssize_t n = ::pread(fd, bytes + got, 128 - got, st.st_size - 128 + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

SongRecord importRecord(const std::string &path, const unsigned char (&last128)[128], bool haveBytes) {
    SongRecord row{};
    ID3Tag tag;
    if (haveBytes)
        std::memcpy(tag.bytes.data(), last128, ID3Tag::kSize);
    if (tag.hasIdentifier()) {
        row[kFieldInterpret] = textValue(tag.text(ID3Tag::kArtistOffset, ID3Tag::kArtistWidth));
        row[kFieldTitel] = textValue(tag.text(ID3Tag::kTitleOffset, ID3Tag::kTitleWidth));
        // The write-back puts the genre name into the comment; ten characters of it are the genre.
        row[kFieldGenre] = textValue(tag.text(ID3Tag::kCommentOffset, 10));
        row[kFieldJahr] = textValue(tag.text(ID3Tag::kYearOffset, ID3Tag::kYearWidth));
    }
    row[kFieldIndex] = std::int64_t{0};
    row[kFieldDateiname] = path;
    row[kFieldStartzeit] = std::int64_t{0};
    row[kFieldAnalyse] = false;
    return row;
}

Scanner::Scanner(SongTable &table, ProgressSink &progress)
    : table_(table), progress_(progress), walker_(*this) {}

Scanner::~Scanner() {
    try {
        commitPending();
    } catch (...) {
        // Nothing more can be done here; the rows of the open batch are lost, committed ones stay.
    }
}

void Scanner::commitPending() {
    if (ownTransaction_) {
        ownTransaction_ = false;
        pendingRows_ = 0;
        table_.commit();
    }
}

bool Scanner::append(const SongRecord &record) {
    if (!ownTransaction_ && !table_.inTransaction()) {
        table_.startTransaction();
        ownTransaction_ = true;
    }
    try {
        table_.appendRecord(record);
    } catch (const DatabaseError &) {
        ++counts_.refused; // the path is already there (any letter case), or the row was refused
        return false;
    }
    ++counts_.added;
    if (ownTransaction_ && ++pendingRows_ >= batchRows_)
        commitPending();
    return true;
}

bool Scanner::ImportFile(const std::string &path) {
    unsigned char bytes[128] = {};
    bool have = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        have = readLast128(fd, bytes);
        ::close(fd);
    } else if (errno == ENOENT || errno == ENOTDIR) {
        return false; // gone since it was listed: a row would name nothing
    }
    return append(importRecord(path, bytes, have));
}

void Scanner::file(int dirFd, const char *name, const std::string &path) {
    unsigned char bytes[128] = {};
    bool have = false;
    // Opened relative to its folder: no path resolution per file, and no limit on the path's length.
    const int fd = ::openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        have = readLast128(fd, bytes);
        ::close(fd);
    } else if (errno == ENOENT || errno == ELOOP) {
        return; // vanished, or replaced by a link, since it was listed
    }
    // A file we may not read is still listed, with empty tag texts, as any untagged file.
    append(importRecord(path, bytes, have));
}

void Scanner::step() {
    int position = progress_.position() + 1;
    if (position > progress_.maximum() - 1)
        position = 0;
    progress_.setPosition(position);
}

void Scanner::scanRoot(const std::string &root) {
    walker_.walkRoot(root);
    commitPending();
}

void Scanner::ScanDirectory(const std::string &folder) {
    walker_.ScanDirectory(folder);
    commitPending();
}

void Scanner::ImportMp3Files(const std::string &folder) {
    walker_.ImportMp3Files(folder);
    commitPending();
}

std::int64_t Scanner::CheckDatabase() {
    table_.checkBrowseMode();
    const std::int64_t rows = table_.recordCount();
    progress_.setMaximum(static_cast<int>(rows));
    progress_.setPosition(0);
    progress_.setCaption(kCheckCaption);
    progress_.show();
    std::int64_t removed = 0;
    const bool own = !table_.inTransaction();
    if (own)
        table_.startTransaction();
    try {
        // The order of the active index; which rows go does not depend on it.
        for (const std::int64_t key : table_.keysInOrder()) {
            progress_.setPosition(progress_.position() + 1);
            const auto record = table_.readRecord(key);
            if (!record)
                continue; // gone meanwhile
            const FieldValue &value = (*record)[kFieldDateiname];
            const std::string *path = std::get_if<std::string>(&value);
            struct stat st {};
            if (path != nullptr && !path->empty() && ::stat(path->c_str(), &st) == 0 && S_ISREG(st.st_mode))
                continue;
            if (table_.gotoKey(key)) {
                table_.deleteRecord();
                ++removed;
            }
        }
    } catch (...) {
        // Rows deleted so far stay deleted.
        if (own)
            table_.commit();
        throw;
    }
    if (own)
        table_.commit();
    if (!table_.isEmpty()) {
        table_.last();
        table_.next(); // past the last row, where a walk from first to end stops
    }
    counts_.removed += removed;
    progress_.close();
    return removed;
}

ScanCounts Scanner::start(const std::vector<std::string> &roots) {
    counts_ = {};
    table_.checkBrowseMode();
    if (table_.recordCount() > 0)
        CheckDatabase();
    progress_.setMaximum(kScanProgressMaximum);
    progress_.setPosition(0);
    progress_.setCaption(kScanCaption);
    progress_.show();
    for (const std::string &root : roots)
        scanRoot(root);
    commitPending();
    progress_.close();
    return counts_;
}

} // namespace mixora::scan
