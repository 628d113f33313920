#include "scan/Walker.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mixora::scan {

struct Walker::Listing {
    struct Entry {
        std::string name;
        bool folder = false; // a real folder, not a link to one
    };
    std::vector<Entry> visible;   // every entry the walk steps over, hidden ones left out
    std::vector<std::string> mp3; // entries matching "*.mp3", hidden ones included
};

bool matchesMp3(const char *name) {
    const std::size_t n = std::strlen(name);
    if (n < 4)
        return false;
    const char *e = name + n - 4;
    return e[0] == '.' && (e[1] | 0x20) == 'm' && (e[2] | 0x20) == 'p' && e[3] == '3';
}

namespace {

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

bool Walker::list(int dirFd, Listing &listing) {
    // The entries straight from the kernel into a buffer kept from folder to folder: no
    // duplicate descriptor and no directory stream to allocate for every folder.
    if (entries_.empty())
        entries_.resize(32768);
    while (true) {
        const ssize_t n = ::getdents64(dirFd, entries_.data(), entries_.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the end, or as much as could be read
        for (ssize_t at = 0; at < n;) {
            const auto *d = reinterpret_cast<const dirent64 *>(entries_.data() + at);
            at += d->d_reclen;
            const char *name = d->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            unsigned char type = d->d_type;
            if (type == DT_UNKNOWN) {
                struct stat st {};
                if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue; // vanished meanwhile
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISREG(st.st_mode) ? DT_REG
                       : S_ISLNK(st.st_mode) ? DT_LNK
                                             : DT_FIFO;
            }
            const bool folder = type == DT_DIR;
            if (name[0] != '.')
                listing.visible.push_back({name, folder});
            // Songs are regular files: a folder named like one holds no audio, links are never
            // followed, and pipes or devices would block or mean nothing.
            if (type == DT_REG && matchesMp3(name))
                listing.mp3.emplace_back(name);
        }
    }
    // Directory order differs between file systems; a sorted walk gives the same library order everywhere.
    std::sort(listing.visible.begin(), listing.visible.end(),
              [](const Listing::Entry &a, const Listing::Entry &b) { return a.name < b.name; });
    std::sort(listing.mp3.begin(), listing.mp3.end());
    return true;
}

void Walker::importFiles(int dirFd, const std::string &path, const Listing &listing) {
    handler_.step();
    for (const std::string &name : listing.mp3)
        handler_.file(dirFd, name.c_str(), path + name);
}

void Walker::walkRoot(const std::string &root) {
    ImportMp3Files(root);
    ScanDirectory(root);
}

void Walker::ImportMp3Files(const std::string &folder) {
    // The starting folder may be a link the user chose; everything below it is taken as it is.
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        handler_.step();
        return;
    }
    FdCloser closer{fd};
    Listing listing;
    list(fd, listing);
    importFiles(fd, folder, listing);
}

void Walker::ScanDirectory(const std::string &folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return; // nothing can be found below it
    FdCloser closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return;
    device_ = static_cast<unsigned long>(st.st_dev);
    visited_.clear();
    visited_.insert({device_, static_cast<unsigned long>(st.st_ino)});
    Listing listing;
    if (list(fd, listing))
        scanEntries(fd, folder, listing);
}

void Walker::scanEntries(int dirFd, const std::string &path, const Listing &listing) {
    for (const Listing::Entry &entry : listing.visible) {
        if (handler_.cancelled())
            return;
        if (!entry.folder) {
            handler_.step(); // a file, a link or anything else: nothing below it
            continue;
        }
        const std::string sub = path + entry.name + '/';
        const int fd = ::openat(dirFd, entry.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            handler_.step(); // unreadable, vanished, or out of descriptors: go on with the next
            continue;
        }
        FdCloser closer{fd};
        struct stat st {};
        const bool enter = ::fstat(fd, &st) == 0 && static_cast<unsigned long>(st.st_dev) == device_ &&
                           visited_.insert({device_, static_cast<unsigned long>(st.st_ino)}).second;
        Listing inner;
        if (!enter || !list(fd, inner)) {
            handler_.step();
            continue;
        }
        scanEntries(fd, sub, inner);
        importFiles(fd, sub, inner);
    }
}

} // namespace mixora::scan
