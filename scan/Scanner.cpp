#include "scan/Scanner.h"

#include "library/SongTags.h"
#include "scan/Drives.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

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

// Opens a listed file and reads its tags. False when the entry is no regular file (a folder
// named like a song), or has gone or been replaced by a link since it was listed: a row would
// name nothing. A file we may not read still counts, with empty tag texts, as any untagged
// file. Opened relative to its folder where one is given: no path resolution per file and no
// limit on the path's length.
bool readListedFile(int dirFd, const char *name, bool followLinks, SongTags &tags) {
    tags = {};
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW);
    const int fd = ::openat(dirFd, name, flags);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == EISDIR)
            return false;
        // Unreadable: it still counts if it is a regular file.
        struct stat st {};
        return ::fstatat(dirFd, name, &st, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (regular)
        tags = readSongTags(fd, static_cast<std::uint64_t>(st.st_size));
    ::close(fd);
    return regular;
}

enum class FileState { Present, Gone, Unknown };

FileState stateOf(const struct stat &st) {
    return S_ISREG(st.st_mode) ? FileState::Present : FileState::Gone;
}

// Only these errors prove that no file is there; any other (no permission, I/O, a name too
// long) leaves the question open.
FileState stateOfError(int error) {
    return error == ENOENT || error == ENOTDIR ? FileState::Gone : FileState::Unknown;
}

// Resolves a path longer than the kernel takes in one call one folder at a time, as the
// walk that imported it did.
FileState stateByFolders(const std::string &path) {
    std::size_t begin = 0;
    int dir = AT_FDCWD;
    if (path.front() == '/') {
        dir = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0)
            return FileState::Unknown;
        begin = 1;
    }
    FileState result = FileState::Unknown;
    while (true) {
        const std::size_t slash = path.find('/', begin);
        const std::string name =
            path.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
        if (slash == std::string::npos) {
            struct stat st {};
            result = ::fstatat(dir, name.c_str(), &st, 0) == 0 ? stateOf(st) : stateOfError(errno);
            break;
        }
        begin = slash + 1;
        if (name.empty())
            continue; // "//"
        const int next = ::openat(dir, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) {
            result = stateOfError(errno);
            break;
        }
        if (dir != AT_FDCWD)
            ::close(dir);
        dir = next;
    }
    if (dir != AT_FDCWD)
        ::close(dir);
    return result;
}

FileState fileState(const std::string &path) {
    if (path.empty())
        return FileState::Gone;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return stateOf(st);
    if (errno == ENAMETOOLONG)
        return stateByFolders(path);
    return stateOfError(errno);
}

// The mount points a library has seen, so that a check tells a drive that is away from a file
// that was deleted. Harmless to create again; older versions leave the table alone.
constexpr const char *kMountPointsSchema = "CREATE TABLE IF NOT EXISTS MountPoints (Path TEXT PRIMARY KEY)";

void runSql(sqlite3 *db, const char *sql) {
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string reason = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw DatabaseError("Die Liste der Laufwerke kann nicht gespeichert werden: " + reason);
    }
}

struct Statement {
    sqlite3_stmt *stmt = nullptr;
    Statement(sqlite3 *db, const char *sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
            throw DatabaseError(std::string("Die Liste der Laufwerke kann nicht gelesen werden: ") +
                                sqlite3_errmsg(db));
    }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
};

} // namespace

SongRecord importRecord(const std::string &path, const SongTags &tags) {
    SongRecord row{};
    SongTags fitted = fitToFields(tags);
    row[kFieldInterpret] = textValue(std::move(fitted.artist));
    row[kFieldTitel] = textValue(std::move(fitted.title));
    row[kFieldGenre] = textValue(std::move(fitted.genre));
    row[kFieldJahr] = textValue(std::move(fitted.year));
    row[kFieldIndex] = std::int64_t{0};
    row[kFieldDateiname] = path;
    row[kFieldStartzeit] = std::int64_t{0};
    row[kFieldAnalyse] = false;
    return row;
}

Scanner::Scanner(SongTable &table, ProgressSink &progress)
    : table_(table), progress_(progress), walker_(*this), mountTable_(kSystemMountTable) {}

void Scanner::rememberMounts() {
    std::vector<std::string> points;
    mounted_.clear();
    if (readMountPoints(mountTable_, points))
        mounted_.insert(points.begin(), points.end());
    mounted_.insert("/");
    sqlite3 *db = table_.handle();
    if (db == nullptr)
        throw DatabaseError("Die Titeldatenbank ist nicht geöffnet");
    runSql(db, kMountPointsSchema);
    {
        Statement add(db, "INSERT OR IGNORE INTO MountPoints (Path) VALUES (?1)");
        for (const std::string &point : mounted_) {
            sqlite3_bind_text(add.stmt, 1, point.data(), static_cast<int>(point.size()), SQLITE_STATIC);
            if (sqlite3_step(add.stmt) != SQLITE_DONE)
                throw DatabaseError(std::string("Die Liste der Laufwerke kann nicht gespeichert werden: ") +
                                    sqlite3_errmsg(db));
            sqlite3_reset(add.stmt);
        }
    }
    known_ = mounted_;
    Statement all(db, "SELECT Path FROM MountPoints");
    while (sqlite3_step(all.stmt) == SQLITE_ROW) {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(all.stmt, 0));
        if (text)
            known_.emplace(text, static_cast<std::size_t>(sqlite3_column_bytes(all.stmt, 0)));
    }
    mountsRemembered_ = true;
}

bool Scanner::onAbsentFileSystem(const std::string &path) const {
    if (path.empty() || path.front() != '/')
        return false;
    // The deepest mount point above the file decides: the file system the file was on.
    for (std::size_t end = path.rfind('/'); end != std::string::npos && end > 0;
         end = path.rfind('/', end - 1)) {
        const std::string folder = path.substr(0, end);
        if (known_.count(folder))
            return mounted_.count(folder) == 0;
    }
    return false; // below "/", which is always there
}

Scanner::~Scanner() {
    endOwnTransaction();
}

void Scanner::commitPending() {
    appendQueued();
    commitBatch();
}

void Scanner::commitBatch() {
    if (!ownTransaction_)
        return;
    ownTransaction_ = false;
    const int pending = std::exchange(pendingRows_, 0);
    try {
        table_.commit();
    } catch (const DatabaseError &) {
        dropBatch(pending);
        throw;
    }
}

void Scanner::endOwnTransaction() noexcept {
    try {
        commitPending();
    } catch (...) {
        // The batch is counted out and the table is outside the transaction: nothing is left to do.
    }
}

void Scanner::dropBatch(int rows) noexcept {
    counts_.added -= rows;
    try {
        // After a full disk or an I/O error the engine may have rolled the batch back itself;
        // the table then only needs to forget what it counted.
        if (table_.inTransaction())
            table_.rollback();
        else
            table_.refresh();
    } catch (...) {
        // The connection is beyond repair; closing the table ends the transaction.
    }
}

void Scanner::startOwnTransaction() {
    if (!ownTransaction_ && !table_.inTransaction()) {
        table_.startTransaction();
        ownTransaction_ = true;
    }
}

bool Scanner::hasTexts(const SongRecord &record) {
    const auto has = [&](SongField f) { return std::holds_alternative<std::string>(record[f]); };
    return has(kFieldInterpret) || has(kFieldTitel) || has(kFieldJahr) || has(kFieldGenre);
}

bool Scanner::append(const SongRecord &record) {
    appendQueued(); // rows keep the order of their files
    startOwnTransaction();
    try {
        table_.appendRecord(record);
    } catch (const KeyViolation &) {
        ++counts_.refused; // the path is already there
        if (hasTexts(record) && table_.fillEmptyTexts(record))
            ++counts_.filled;
        return false;
    } catch (const DatabaseError &e) {
        // A full disk, an I/O error or a lock would refuse every following row as well, and
        // each would pass for a song already known: stop and say why.
        endOwnTransaction();
        throw DatabaseError("Der Scan wurde bei " + fieldValueText(record[kFieldDateiname]) +
                            " angehalten. " + e.what());
    }
    ++counts_.added;
    if (ownTransaction_ && ++pendingRows_ >= batchRows_)
        commitBatch();
    return true;
}

void Scanner::queue(SongRecord &&record) {
    queued_.push_back(std::move(record));
    // The batch is committed at its very row, as when every row had a statement of its own.
    if (queued_.size() >= SongTable::kMaxAppendRows ||
        pendingRows_ + static_cast<int>(queued_.size()) >= batchRows_)
        appendQueued();
}

void Scanner::appendQueued() {
    if (queued_.empty())
        return;
    struct Clear {
        std::vector<SongRecord> &rows;
        ~Clear() { rows.clear(); }
    } clear{queued_};
    startOwnTransaction();
    try {
        table_.appendRecords(queued_, added_);
    } catch (const DatabaseError &e) {
        // As for a single row: the rows committed so far stay, the scan stops and says why.
        const std::string first = fieldValueText(queued_.front()[kFieldDateiname]);
        queued_.clear();
        endOwnTransaction();
        throw DatabaseError("Der Scan wurde bei " + first + " angehalten. " + e.what());
    }
    for (std::size_t i = 0; i < queued_.size(); ++i) {
        if (added_[i]) {
            ++counts_.added;
            if (ownTransaction_)
                ++pendingRows_;
        } else {
            ++counts_.refused; // the path is already there
            if (hasTexts(queued_[i]) && table_.fillEmptyTexts(queued_[i]))
                ++counts_.filled;
        }
    }
    if (ownTransaction_ && pendingRows_ >= batchRows_)
        commitBatch();
}

bool Scanner::ImportFile(const std::string &path) {
    if (!mountsRemembered_)
        rememberMounts();
    SongTags tags;
    if (!readListedFile(AT_FDCWD, path.c_str(), true, tags))
        return false;
    return append(importRecord(path, tags));
}

void Scanner::file(int dirFd, const char *name, const std::string &path) {
    SongTags tags;
    if (readListedFile(dirFd, name, false, tags))
        queue(importRecord(path, tags));
}

void Scanner::step() {
    int position = progress_.position() + 1;
    if (position > progress_.maximum() - 1)
        position = 0;
    progress_.setPosition(position);
}

template <class Walk> void Scanner::finishWalk(Walk &&walk) {
    try {
        walk();
    } catch (...) {
        // The files read before the failure keep their rows.
        endOwnTransaction();
        throw;
    }
    commitPending();
}

void Scanner::scanRoot(const std::string &root) {
    if (!mountsRemembered_)
        rememberMounts();
    finishWalk([&] {
        if (parallelWalk_)
            scanRootParallel(root);
        else
            walker_.walkRoot(root);
    });
}

namespace {

// What the helper thread found, in walk order: a progress step or a file with its last bytes.
struct WalkItem {
    bool step = false;
    SongRecord row{}; // built here, so the appending thread only appends
};

// Hands chunks of items from the walking thread to the appending one. Bounded, so a walk
// far ahead of the database does not pile up memory.
class WalkQueue : public WalkHandler {
public:
    static constexpr std::size_t kChunk = 256;
    static constexpr std::size_t kMaxChunks = 64;
    static constexpr std::size_t kSpareChunks = 2;

    void step() override {
        chunk_.emplace_back().step = true;
        flushIfFull();
    }
    void file(int dirFd, const char *name, const std::string &path) override {
        SongTags tags;
        if (!readListedFile(dirFd, name, false, tags))
            return;
        WalkItem &item = chunk_.emplace_back();
        item.row = importRecord(path, tags);
        flushIfFull();
    }
    bool cancelled() const override { return cancel_.load(std::memory_order_relaxed); }

    // Walking side.
    void finish(std::exception_ptr error) {
        flush();
        std::lock_guard lock(mutex_);
        done_ = true;
        error_ = error;
        changed_.notify_all();
    }
    // Appending side: the next chunk, or false when the walk is over.
    // The chunk given back is reused by the walking side: no fresh memory per chunk.
    bool take(std::vector<WalkItem> &out) {
        out.clear();
        std::unique_lock lock(mutex_);
        if (out.capacity() > 0 && spare_.size() < kSpareChunks)
            spare_.push_back(std::move(out));
        changed_.wait(lock, [&] { return !chunks_.empty() || done_; });
        if (chunks_.empty()) {
            if (error_)
                std::rethrow_exception(error_);
            return false;
        }
        out = std::move(chunks_.front());
        chunks_.pop_front();
        changed_.notify_all();
        return true;
    }
    void cancel() {
        cancel_.store(true);
        std::lock_guard lock(mutex_);
        chunks_.clear();
        changed_.notify_all();
    }

private:
    void flushIfFull() {
        if (chunk_.size() >= kChunk)
            flush();
    }
    void flush() {
        if (chunk_.empty())
            return;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return chunks_.size() < kMaxChunks || cancel_.load(); });
        if (!cancel_.load())
            chunks_.push_back(std::move(chunk_));
        chunk_.clear();
        if (!spare_.empty()) {
            chunk_ = std::move(spare_.back());
            spare_.pop_back();
        }
        changed_.notify_all();
    }

    std::vector<WalkItem> chunk_; // walking side only
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<WalkItem>> chunks_;
    std::vector<std::vector<WalkItem>> spare_; // emptied chunks, to be filled again
    bool done_ = false;
    std::exception_ptr error_;
    std::atomic<bool> cancel_{false};
};

} // namespace

void Scanner::scanRootParallel(const std::string &root) {
    WalkQueue items;
    std::thread walker([&items, root] {
        std::exception_ptr error;
        try {
            Walker(items).walkRoot(root);
        } catch (...) {
            error = std::current_exception();
        }
        items.finish(error);
    });
    try {
        std::vector<WalkItem> chunk;
        while (items.take(chunk)) {
            for (WalkItem &item : chunk) {
                if (item.step)
                    step();
                else
                    queue(std::move(item.row));
            }
        }
    } catch (...) {
        items.cancel();
        walker.join();
        throw;
    }
    walker.join();
}

void Scanner::ScanDirectory(const std::string &folder) {
    finishWalk([&] { walker_.ScanDirectory(folder); });
}

void Scanner::ImportMp3Files(const std::string &folder) {
    finishWalk([&] { walker_.ImportMp3Files(folder); });
}

std::int64_t Scanner::CheckDatabase() {
    table_.checkBrowseMode();
    const std::int64_t rows = table_.recordCount();
    progress_.setMaximum(static_cast<int>(rows));
    progress_.setPosition(0);
    progress_.setCaption(kCheckCaption);
    progress_.show();
    std::int64_t removed = 0;
    std::int64_t missing = 0;
    const bool own = !table_.inTransaction();
    if (own)
        table_.startTransaction();
    auto drop = [&](std::int64_t key) {
        if (table_.gotoKey(key)) {
            table_.deleteRecord();
            ++removed;
        }
    };
    try {
        rememberMounts();
        const std::vector<SongPath> all = table_.allPaths();
        // The existence tests are the whole cost: a helper thread takes half of each chunk.
        // The table and the bar stay with this thread, row by row in order.
        constexpr std::size_t kChunk = 4096;
        std::vector<FileState> states(kChunk);
        for (std::size_t begin = 0; begin < all.size(); begin += kChunk) {
            const std::size_t end = std::min(all.size(), begin + kChunk);
            const std::size_t middle = begin + (end - begin) / 2;
            std::thread helper([&] {
                for (std::size_t i = middle; i < end; ++i)
                    states[i - begin] = fileState(all[i].path);
            });
            for (std::size_t i = begin; i < middle; ++i)
                states[i - begin] = fileState(all[i].path);
            helper.join();
            for (std::size_t i = begin; i < end; ++i) {
                progress_.setPosition(progress_.position() + 1);
                // A file we cannot look at may well be there: only a proven absence costs its row.
                if (states[i - begin] != FileState::Gone)
                    continue;
                if (onAbsentFileSystem(all[i].path))
                    ++missing;
                else
                    drop(all[i].index);
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
    counts_.missing += missing;
    progress_.close();
    return removed;
}

ScanCounts Scanner::start(const std::vector<std::string> &roots) {
    counts_ = {};
    mountsRemembered_ = false; // drives come and go between two starts
    // Say so before the check and the walk rather than at the first file.
    if (!table_.active())
        throw DatabaseError("Die Titeldatenbank ist nicht geöffnet; es kann nichts eingelesen werden");
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
