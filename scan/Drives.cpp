#include "scan/Drives.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include <sys/stat.h>

namespace mixora::scan {

namespace {

// mountinfo escapes space, tab, newline and backslash as three octal digits.
std::string unescape(const std::string &s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && s.size() - i >= 4) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

bool oneOf(const std::string &value, std::initializer_list<const char *> list) {
    return std::any_of(list.begin(), list.end(), [&](const char *item) { return value == item; });
}

bool startsWith(const std::string &s, const std::string &prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string readSmallFile(const std::string &path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

// The kernel marks removable block devices (card readers, many USB sticks) in sysfs; a
// partition carries the flag on its parent device.
bool blockDeviceRemovable(unsigned major, unsigned minor) {
    const std::string base = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    if (readSmallFile(base + "/removable") == "1" || readSmallFile(base + "/../removable") == "1")
        return true;
    char resolved[4096];
    if (realpath(base.c_str(), resolved) != nullptr)
        return std::string(resolved).find("/usb") != std::string::npos;
    return false;
}

bool isFolder(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

char letterOf(const std::string &name) {
    if (name.size() < 1)
        return 0;
    char c = name[0];
    if (c >= 'a' && c <= 'z')
        c = static_cast<char>(c - 'a' + 'A');
    return (c >= 'C' && c <= 'Z') ? c : 0;
}

} // namespace

std::vector<MountEntry> parseMountInfo(const std::string &text) {
    std::vector<MountEntry> result;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string word;
        while (fields >> word)
            f.push_back(word);
        // id parent major:minor root mountpoint options [optional…] - fstype source superoptions
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 6 || dash == f.end() || dash - f.begin() < 6 || f.end() - dash < 3)
            continue;
        MountEntry e;
        const auto colon = f[2].find(':');
        if (colon == std::string::npos)
            continue;
        try {
            e.major = static_cast<unsigned>(std::stoul(f[2].substr(0, colon)));
            e.minor = static_cast<unsigned>(std::stoul(f[2].substr(colon + 1)));
        } catch (const std::exception &) {
            continue;
        }
        e.mountPoint = unescape(f[4]);
        e.fsType = unescape(*(dash + 1));
        e.source = unescape(*(dash + 2));
        result.push_back(std::move(e));
    }
    return result;
}

bool readMountPoints(const std::string &mountInfoFile, std::vector<std::string> &points) {
    points.clear();
    std::ifstream in(mountInfoFile);
    if (!in)
        return false;
    std::stringstream text;
    text << in.rdbuf();
    for (MountEntry &e : parseMountInfo(text.str()))
        points.push_back(std::move(e.mountPoint));
    return true;
}

bool classifyMount(const MountEntry &e, DriveType &type) {
    const std::string &fs = e.fsType;
    if (oneOf(fs,
              {"nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "afs", "ceph", "glusterfs", "9p", "lustre",
               "gfs2", "ocfs2", "davfs", "fuse.sshfs", "fuse.rclone", "fuse.s3fs", "fuse.gvfsd-fuse"})) {
        type = DriveType::Remote;
        return true;
    }
    if (oneOf(fs, {"iso9660", "udf"})) {
        type = DriveType::CdRom;
        return true;
    }
    const bool disk = oneOf(fs, {"ext2",  "ext3",    "ext4", "xfs",      "btrfs",   "f2fs", "vfat",
                                 "msdos", "exfat",   "ntfs", "ntfs3",    "fuseblk", "jfs",  "reiserfs",
                                 "hfs",   "hfsplus", "zfs",  "bcachefs", "nilfs2",  "ufs",  "apfs"});
    if (e.mountPoint == "/") {
        // The root is always C:, whatever a container or live system builds it from.
        type = DriveType::Fixed;
        return true;
    }
    if (!disk)
        return false;
    if (startsWith(e.mountPoint, "/media/") || startsWith(e.mountPoint, "/run/media/") ||
        (startsWith(e.source, "/dev/") && blockDeviceRemovable(e.major, e.minor))) {
        type = DriveType::Removable;
        return true;
    }
    type = DriveType::Fixed;
    return true;
}

std::vector<Drive> assignLetters(const std::vector<MountEntry> &mounts, bool checkFolders) {
    // A later mount on the same point hides the earlier one.
    std::map<std::string, DriveType> byPoint;
    for (const MountEntry &e : mounts) {
        DriveType type{};
        if (classifyMount(e, type))
            byPoint[e.mountPoint] = type;
        else
            byPoint.erase(e.mountPoint);
    }
    std::vector<Drive> drives;
    char letter = 'C';
    auto addDrive = [&](const std::string &point, DriveType type) {
        std::string root = point;
        if (root.empty() || root.back() != '/')
            root += '/';
        drives.push_back(Drive{letter++, root, type});
    };
    addDrive("/", byPoint.count("/") ? byPoint["/"] : DriveType::Fixed);
    for (const auto &[point, type] : byPoint) { // std::map: path order
        if (point == "/" || letter > 'Z')
            continue;
        if (checkFolders && !isFolder(point))
            continue;
        addDrive(point, type);
    }
    return drives;
}

std::uint32_t ListedDriveLayer::logicalDrives() const {
    std::uint32_t mask = 0;
    for (const Drive &d : drives_)
        mask |= 1u << (d.letter - 'A');
    return mask;
}

DriveType ListedDriveLayer::driveType(const std::string &name) const {
    const char letter = letterOf(name);
    for (const Drive &d : drives_)
        if (d.letter == letter)
            return (d.type == DriveType::Fixed && !isFolder(d.root)) ? DriveType::NoRootDir : d.type;
    return DriveType::NoRootDir;
}

std::string ListedDriveLayer::rootPath(const std::string &name) const {
    const char letter = letterOf(name);
    for (const Drive &d : drives_)
        if (d.letter == letter)
            return d.root;
    return {};
}

SystemDriveLayer::SystemDriveLayer() {
    std::ifstream in(kSystemMountTable);
    std::stringstream text;
    text << in.rdbuf();
    drives_ = assignLetters(parseMountInfo(text.str()));
}

void FolderDriveLayer::add(char letter, const std::string &folder, DriveType type) {
    std::string root = folder;
    if (root.empty() || root.back() != '/')
        root += '/';
    drives_.erase(
        std::remove_if(drives_.begin(), drives_.end(), [&](const Drive &d) { return d.letter == letter; }),
        drives_.end());
    drives_.push_back(Drive{letter, root, type});
    std::sort(drives_.begin(), drives_.end(),
              [](const Drive &a, const Drive &b) { return a.letter < b.letter; });
}

} // namespace mixora::scan
