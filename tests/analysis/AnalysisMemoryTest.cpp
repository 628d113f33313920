// The memory one analysis takes does not grow with the song: a 3-hour recording, made here by
// joining one encoded minute, is analysed in a child process whose peak memory is read back.
#include "analysis/Analysis.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace mixora::analysis {
namespace {

long residentKb() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(AnalysisMemory, ThreeHourRecordingStaysUnder64MB) {
    test::TempDir dir;
    const auto file = dir / "three-hours.mp3";
    test::Mp3Options minute;
    minute.seconds = 60;
    minute.channels = 1;
    minute.bitrateKbps = 32;
    minute.writeInfoTag = false; // a plain stream of frames, so the copies join seamlessly
    const std::vector<std::uint8_t> chunk = test::makeMp3(minute);
    for (int i = 0; i < 180; ++i)
        test::appendFile(file, chunk);

    const long before = residentKb();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const auto r = analyseFile(file.string(), Options{});
        _exit(r && r->durationSeconds > 3 * 3600 - 1 && r->overview.size() == 2u * kOverviewColumns ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    ASSERT_EQ(wait4(child, &status, 0, &usage), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the analysis of the 3-hour file failed";
    const double addedMb = static_cast<double>(usage.ru_maxrss - before) / 1024;
    std::printf("analysing 3 hours: peak %.1f MB above the %.1f MB the process held\n", addedMb,
                static_cast<double>(before) / 1024);
    EXPECT_LT(addedMb, 64.0);
}

} // namespace
} // namespace mixora::analysis
