// The program folder rule, rung by rung, and the one call that reads the real environment.
#include "util/ProgramDir.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace fs = std::filesystem;
using mixora::test::TempDir;
using mixora::util::chooseProgramDir;
using mixora::util::ProgramDirInputs;
using mixora::util::ProgramDirSource;

namespace {

void touch(const fs::path &file) {
    std::ofstream(file) << "";
}

// A current folder that holds a settings file, and every other source set too.
struct Everything {
    TempDir cwd;
    ProgramDirInputs in;
    Everything() {
        touch(cwd / "kelox.ini");
        in.argument = "/media/stick/DJ";
        in.mixoraHome = "/srv/mixora";
        in.currentFolder = cwd.path();
        in.xdgDataHome = "/home/dj/.data";
        in.home = "/home/dj";
    }
};

} // namespace

TEST(ProgramDir, EachRungWinsOverTheOnesBelowIt) {
    Everything e;
    auto c = chooseProgramDir(e.in);
    EXPECT_EQ(c.dir, "/media/stick/DJ");
    EXPECT_EQ(c.source, ProgramDirSource::Argument);

    e.in.argument.clear();
    c = chooseProgramDir(e.in);
    EXPECT_EQ(c.dir, "/srv/mixora");
    EXPECT_EQ(c.source, ProgramDirSource::Environment);

    e.in.mixoraHome.clear();
    c = chooseProgramDir(e.in);
    EXPECT_EQ(c.dir, e.cwd.path());
    EXPECT_EQ(c.source, ProgramDirSource::CurrentFolder);

    fs::remove(e.cwd / "kelox.ini");
    c = chooseProgramDir(e.in);
    EXPECT_EQ(c.dir, "/home/dj/.data/DJ-Mixora");
    EXPECT_EQ(c.source, ProgramDirSource::UserData);

    e.in.xdgDataHome.clear();
    EXPECT_EQ(chooseProgramDir(e.in).dir, "/home/dj/.local/share/DJ-Mixora");
}

TEST(ProgramDir, RelativeNamesAreTakenFromTheCurrentFolder) {
    Everything e;
    e.in.argument = "../sets/./friday";
    EXPECT_EQ(chooseProgramDir(e.in).dir, (e.cwd.path().parent_path() / "sets" / "friday"));
    e.in.argument.clear();
    e.in.mixoraHome = "dj";
    EXPECT_EQ(chooseProgramDir(e.in).dir, e.cwd / "dj");
}

TEST(ProgramDir, WhatDoesNotCountAsASettingsFileOrDataHome) {
    TempDir cwd;
    fs::create_directory(cwd / "kelox.ini"); // a folder of that name is not a setup
    ProgramDirInputs in;
    in.currentFolder = cwd.path();
    in.home = "/home/dj";
    in.xdgDataHome = "relative/data"; // ignored, as the XDG rules say
    const auto c = chooseProgramDir(in);
    EXPECT_EQ(c.source, ProgramDirSource::UserData);
    EXPECT_EQ(c.dir, "/home/dj/.local/share/DJ-Mixora");
}

TEST(ProgramDir, ReadsTheProcessEnvironmentAndCurrentFolder) {
    TempDir temp;
    const fs::path before = fs::current_path();
    fs::current_path(temp.path());
    const char *oldHome = std::getenv("MIXORA_HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    const char *oldData = std::getenv("XDG_DATA_HOME");
    const std::string savedData = oldData ? oldData : "";

    setenv("MIXORA_HOME", "", 1);
    setenv("XDG_DATA_HOME", (temp / "data").c_str(), 1);
    EXPECT_EQ(chooseProgramDir().dir, temp / "data" / "DJ-Mixora");
    touch(temp / "kelox.ini");
    EXPECT_EQ(chooseProgramDir().dir, temp.path());
    setenv("MIXORA_HOME", (temp / "home").c_str(), 1);
    EXPECT_EQ(chooseProgramDir().dir, temp / "home");
    EXPECT_EQ(chooseProgramDir("arg").dir, temp / "arg");

    oldHome ? setenv("MIXORA_HOME", savedHome.c_str(), 1) : unsetenv("MIXORA_HOME");
    oldData ? setenv("XDG_DATA_HOME", savedData.c_str(), 1) : unsetenv("XDG_DATA_HOME");
    fs::current_path(before);
}

TEST(ProgramDir, MakeCreatesParentsAndRefusesAFileInTheWay) {
    TempDir temp;
    std::error_code ec;
    EXPECT_TRUE(mixora::util::makeProgramDir(temp / "a" / "b" / "DJ-Mixora", ec));
    EXPECT_TRUE(fs::is_directory(temp / "a" / "b" / "DJ-Mixora"));
    EXPECT_TRUE(mixora::util::makeProgramDir(temp / "a", ec)) << "an existing folder is fine";
    touch(temp / "file");
    EXPECT_FALSE(mixora::util::makeProgramDir(temp / "file", ec));
    EXPECT_TRUE(ec);
}
