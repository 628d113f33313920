// The directory walk of a drive or folder: depth first, a folder's own MP3 files after
// everything below it, the root's own files first of all. It reads directory entries only,
// stays on the root's file system, never follows symbolic links and never enters a folder
// twice (bind-mount loops). Names beginning with "." are hidden: hidden folders are not
// entered, hidden files are imported.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace mixora::scan {

class WalkHandler {
public:
    virtual ~WalkHandler() = default;
    // One progress step: once for the root, once for every visible entry met below it.
    virtual void step() = 0;
    // A regular file whose name matches "*.mp3" in any letter case.
    // dirFd is the open folder that holds it and name its name there, so the handler can
    // open it without resolving (or length-limiting) the whole path again.
    virtual void file(int dirFd, const char *name, const std::string &path) = 0;
    // Polled between entries: true ends the walk early.
    virtual bool cancelled() const { return false; }
};

// True for names ending in ".mp3" in any letter case.
bool matchesMp3(const char *name);

class Walker {
public:
    explicit Walker(WalkHandler &handler) : handler_(handler) {}
    // root ends with '/'. Imports the root's own files, then everything below it, on the
    // root's file system only.
    void walkRoot(const std::string &root);
    // One progress step, then the folder's own MP3 files (a folder that cannot be read
    // still costs its step).
    void ImportMp3Files(const std::string &folder);
    // Everything below a folder: for each visible entry, first what lies below it, then its
    // own files. Starts a new walk on the folder's file system.
    void ScanDirectory(const std::string &folder);

private:
    struct Listing;
    void scanEntries(int dirFd, const std::string &path, const Listing &listing);
    bool list(int dirFd, Listing &listing);
    void importFiles(int dirFd, const std::string &path, const Listing &listing);

    WalkHandler &handler_;
    std::vector<char> entries_; // what the kernel lists of a folder
    unsigned long device_ = 0;
    std::set<std::pair<unsigned long, unsigned long>> visited_; // (device, inode) of folders entered
};

} // namespace mixora::scan
