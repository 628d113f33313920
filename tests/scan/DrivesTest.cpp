// Drive letters from the mount table, and the drive layers the scan window asks.
#include "scan/Drives.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

using namespace mixora::scan;

namespace {

const char *kMountInfo = R"(21 26 0:20 / /proc rw,relatime - proc proc rw
26 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw
30 26 0:27 / /run rw - tmpfs tmpfs rw
31 26 8:17 / /srv/My\040Music rw,relatime - ext4 /dev/sdb1 rw
32 26 0:40 / /net/share rw - nfs4 server:/export rw
33 26 8:33 / /media/stick rw - vfat /dev/sdc1 rw
34 26 11:0 / /mnt/cd ro - iso9660 /dev/sr0 ro
35 26 7:3 / /snap/core/1 ro - squashfs /dev/loop3 ro
36 26 254:0 /data /etc/hosts rw - ext4 /dev/vda rw
garbage line
)";

} // namespace

TEST(Drives, MountTableGivesLettersInPathOrderWithoutPseudoFileSystems) {
    const auto mounts = parseMountInfo(kMountInfo);
    ASSERT_EQ(mounts.size(), 9u);
    EXPECT_EQ(mounts[3].mountPoint, "/srv/My Music"); // octal escape decoded
    EXPECT_EQ(mounts[3].major, 8u);

    const auto drives = assignLetters(mounts, false);
    ASSERT_EQ(drives.size(), 6u); // proc, tmpfs and squashfs have no letter
    auto expect = [&](std::size_t i, char letter, const std::string &root, DriveType type) {
        EXPECT_EQ(drives[i].letter, letter) << i;
        EXPECT_EQ(drives[i].root, root) << i;
        EXPECT_EQ(drives[i].type, type) << i;
    };
    expect(0, 'C', "/", DriveType::Fixed);
    expect(1, 'D', "/etc/hosts/", DriveType::Fixed);
    expect(2, 'E', "/media/stick/", DriveType::Removable);
    expect(3, 'F', "/mnt/cd/", DriveType::CdRom);
    expect(4, 'G', "/net/share/", DriveType::Remote);
    EXPECT_EQ(drives[5].letter, 'H');
    EXPECT_EQ(drives[5].root, "/srv/My Music/");

    // With folders checked, the bind-mounted file and the missing mount points drop out.
    const auto real = assignLetters(mounts, true);
    ASSERT_FALSE(real.empty());
    EXPECT_EQ(real[0].root, "/");
    for (const Drive &d : real)
        EXPECT_NE(d.root, "/etc/hosts/");
}

TEST(Drives, AtMostTwentyFourLettersAndRootAlwaysC) {
    std::vector<MountEntry> mounts;
    for (int i = 0; i < 30; ++i)
        mounts.push_back({"/d" + std::to_string(10 + i), "xfs", "/dev/x", 9, 9});
    const auto drives = assignLetters(mounts, false); // no "/" entry at all
    ASSERT_EQ(drives.size(), 24u);
    EXPECT_EQ(drives.front().root, "/");
    EXPECT_EQ(drives.back().letter, 'Z');
}

TEST(Drives, FolderLayerAnswersLikeTheDriveFunctions) {
    mixora::test::TempDir a;
    FolderDriveLayer layer;
    layer.add('C', a.path().string());
    layer.add('Z', a.path().string() + "/");
    layer.add('E', "/nowhere", DriveType::Remote);
    layer.add('F', (a.path() / "missing").string());
    EXPECT_EQ(layer.logicalDrives(), (1u << 2) | (1u << 4) | (1u << 5) | (1u << 25));
    EXPECT_EQ(layer.driveType("C:"), DriveType::Fixed);
    EXPECT_EQ(layer.driveType("z:"), DriveType::Fixed);
    EXPECT_EQ(layer.driveType("E:"), DriveType::Remote);
    EXPECT_EQ(layer.driveType("F:"), DriveType::NoRootDir); // its folder is gone
    EXPECT_EQ(layer.driveType("D:"), DriveType::NoRootDir);
    EXPECT_EQ(layer.rootPath("Z:"), a.path().string() + "/");
    EXPECT_EQ(layer.rootPath("D:"), "");

    SystemDriveLayer system;
    ASSERT_FALSE(system.drives().empty());
    EXPECT_EQ(system.rootPath("C:"), "/");
    EXPECT_EQ(system.driveType("C:"), DriveType::Fixed);
}
