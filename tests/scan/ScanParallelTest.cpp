// The import with its walking helper thread: same rows in the same order as without it, and
// a failure on the appending side stops the helper and keeps the rows appended so far.
#include "scan/Scanner.h"
#include "tests/scan/ScanTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace fs = std::filesystem;
using namespace mixora;
using mixora::test::Library;
using mixora::test::writeSong;

namespace {

void makeTree(const fs::path &root) {
    for (int f = 0; f < 60; ++f)
        for (int i = 0; i < 12; ++i)
            writeSong(root / ("d" + std::to_string(f % 7)) / ("f" + std::to_string(f)) /
                          ("t" + std::to_string(i) + ".mp3"),
                      test::makeId3v1("T" + std::to_string(i), "A" + std::to_string(f), "", "2000", "G"));
}

struct FailingProgress : scan::SilentProgress {
    int failAt = -1;
    int steps = 0;
    void setPosition(int p) override {
        if (++steps == failAt)
            throw std::runtime_error("display gone");
        SilentProgress::setPosition(p);
    }
};

} // namespace

TEST(ScanParallel, GivesTheSameRowsAndStepsAsTheSequentialWalk) {
    Library parallel, sequential;
    makeTree(parallel.music());
    makeTree(sequential.music());
    scan::SilentProgress p1, p2;
    scan::Scanner a(parallel.table(), p1), b(sequential.table(), p2);
    a.setParallelWalk(true);
    b.setParallelWalk(false);
    a.setBatchRows(50);
    a.start({parallel.root()});
    b.start({sequential.root()});
    EXPECT_EQ(a.counts().added, 720);
    EXPECT_EQ(p1.positionWrites(), p2.positionWrites());
    auto strip = [](std::vector<std::string> paths, const std::string &root) {
        for (auto &p : paths)
            p = p.substr(root.size());
        return paths;
    };
    EXPECT_EQ(strip(parallel.pathsInImportOrder(), parallel.root()),
              strip(sequential.pathsInImportOrder(), sequential.root()));
}

TEST(ScanParallel, AFailureStopsTheWalkAndKeepsTheRowsAppendedSoFar) {
    Library lib;
    makeTree(lib.music());
    FailingProgress progress;
    progress.failAt = 400;
    std::int64_t added = 0;
    {
        scan::Scanner scanner(lib.table(), progress);
        scanner.setBatchRows(1000); // nothing committed by batch: the rows must survive the error
        EXPECT_THROW(scanner.start({lib.root()}), std::runtime_error);
        added = scanner.counts().added;
    }
    EXPECT_GT(added, 0);
    EXPECT_LT(added, 720);
    EXPECT_FALSE(lib.table().inTransaction());
    EXPECT_EQ(lib.table().recordCount(), added);
}

TEST(ScanParallel, TheCheckSharesItsExistenceTestsAndKeepsTheRightRows) {
    Library lib;
    for (int i = 0; i < 30; ++i)
        writeSong(lib.music("s" + std::to_string(10 + i) + ".mp3"));
    scan::SilentProgress progress;
    scan::Scanner scanner(lib.table(), progress);
    scanner.scanRoot(lib.root());
    std::vector<std::string> kept;
    for (int i = 0; i < 30; ++i) {
        const auto path = lib.music("s" + std::to_string(10 + i) + ".mp3");
        if (i % 3 == 0)
            fs::remove(path);
        else
            kept.push_back(path.string());
    }
    EXPECT_EQ(scanner.CheckDatabase(), 10);
    EXPECT_EQ(progress.position(), 30);
    EXPECT_EQ(lib.pathsInImportOrder(), kept);
}
