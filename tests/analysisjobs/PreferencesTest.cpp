// The preferred tempo range from the settings file, and the defaults where it makes no sense.
#include "analysis/Preferences.h"
#include "settings/IniFile.h"
#include "tests/support/Fixtures.h"

#include <gtest/gtest.h>

using mixora::analysis::readOptions;

TEST(AnalysisPreferences, TheRangeComesFromTheSettingsFileWhenItHoldsAnOctave) {
    mixora::test::TempDir dir;
    const auto file = dir / "kelox.ini";
    EXPECT_EQ(readOptions(file).minBpm, 70.0); // no file

    mixora::settings::IniFile ini(file);
    ini.writeString("analyse", "minbpm", "60");
    ini.writeString("Analyse", "MaxBPM", "140.5");
    EXPECT_EQ(readOptions(file).minBpm, 60.0);
    EXPECT_EQ(readOptions(file).maxBpm, 140.5);

    for (const char *max : {"100", "abc", "", "60"}) {
        ini.writeString("Analyse", "MaxBPM", max);
        EXPECT_EQ(readOptions(file).minBpm, 70.0) << max;
        EXPECT_EQ(readOptions(file).maxBpm, 180.0) << max;
    }
}
