// Drive letters on a platform without them: C: to Z: stand for the mounted local file
// systems, C: always for "/". The scan window asks this layer which letters exist, what
// kind each one is and where its root lies; tests install a layer of temporary folders.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace mixora::scan {

// The answers of the classic drive-type query; the scan enables only Fixed and NoRootDir.
enum class DriveType : int {
    Unknown = 0,
    NoRootDir = 1,
    Removable = 2,
    Fixed = 3,
    Remote = 4,
    CdRom = 5,
    RamDisk = 6,
};

struct Drive {
    char letter = 'C'; // 'C' … 'Z'
    std::string root;  // mount point, always ending with '/'
    DriveType type = DriveType::Fixed;
};

class DriveLayer {
public:
    virtual ~DriveLayer() = default;
    // Bit mask of the letters present, bit 0 for A:.
    virtual std::uint32_t logicalDrives() const = 0;
    // Type of a drive named "C:" (letter and colon); NoRootDir for a letter not present.
    virtual DriveType driveType(const std::string &name) const = 0;
    // Root folder of a drive named "C:", ending with '/'; empty for a letter not present.
    virtual std::string rootPath(const std::string &name) const = 0;
};

// One entry of /proc/self/mountinfo, the fields the drive layer needs.
struct MountEntry {
    std::string mountPoint;
    std::string fsType;
    std::string source;
    unsigned major = 0;
    unsigned minor = 0;
};

// Parses the text of /proc/self/mountinfo (octal escapes in paths decoded); bad lines are skipped.
std::vector<MountEntry> parseMountInfo(const std::string &text);

inline constexpr const char *kSystemMountTable = "/proc/self/mountinfo";
// The mount points a mountinfo file lists, of any kind; false when it cannot be read.
bool readMountPoints(const std::string &mountInfoFile, std::vector<std::string> &points);

// How a mount looks to the scan: absent (pseudo or virtual), or a drive of some type.
// Removable media are recognised by the block device's sysfs flag and by the usual
// automount folders (/media, /run/media).
bool classifyMount(const MountEntry &entry, DriveType &type);

// Letters for a list of mounts: "/" is C:, the rest in path order; at most 24 drives.
// Mount points that are not folders (bind-mounted files) are left out when checkFolders is set.
std::vector<Drive> assignLetters(const std::vector<MountEntry> &mounts, bool checkFolders = true);

// Base for layers that hold a fixed drive list.
class ListedDriveLayer : public DriveLayer {
public:
    std::uint32_t logicalDrives() const override;
    DriveType driveType(const std::string &name) const override;
    std::string rootPath(const std::string &name) const override;
    const std::vector<Drive> &drives() const { return drives_; }

protected:
    std::vector<Drive> drives_;
};

// The machine's drives, read from /proc/self/mountinfo when constructed.
class SystemDriveLayer : public ListedDriveLayer {
public:
    SystemDriveLayer();
};

// Letters mapped to folders chosen by the caller (tests, tools).
class FolderDriveLayer : public ListedDriveLayer {
public:
    // letter 'C' … 'Z'; the folder is taken as given, with a '/' appended when missing.
    void add(char letter, const std::string &folder, DriveType type = DriveType::Fixed);
};

} // namespace mixora::scan
