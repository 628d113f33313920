// What a tag write-back must never do to the rest of a song's row: move its audio away from the
// byte positions stored for it, or undo fields another part of the program stored meanwhile.
#include "analysis/Mp3Source.h"
#include "analysis/Store.h"
#include "library/Datamod.h"
#include "library/HotCues.h"
#include "library/SongTags.h"
#include "tests/support/Fixtures.h"
#include "tests/tags/TagBuilders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace mixora;
namespace t = mixora::test;
using namespace mixora::test::tagbytes;

namespace {

std::int64_t offsetOf(const Bytes &haystack, const Bytes &needle) {
    const auto at = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return at == haystack.end() ? -1 : at - haystack.begin();
}

std::vector<std::int16_t> decoded(const std::filesystem::path &file) {
    analysis::Mp3Source source(file.string());
    EXPECT_TRUE(source.ok()) << source.error();
    std::vector<std::int16_t> samples;
    analysis::Mp3Source::Frame frame;
    while (source.next(frame))
        samples.insert(samples.end(), frame.samples, frame.samples + frame.count * source.channels());
    return samples;
}

struct Library {
    t::TempDir dir;
    std::unique_ptr<TDataModule1> data = std::make_unique<TDataModule1>();
    Bytes audio = t::makeMp3({.seconds = 0.5});

    Library() {
        data->openOrCreate(dir.path());
        data->editorShown = [] { return true; };
        analysis::Store(data->Table1).attach();
    }
    std::int64_t add(const std::filesystem::path &file, std::int64_t startZeit) {
        SongRecord r;
        r[kFieldDateiname] = file.string();
        r[kFieldStartzeit] = startZeit;
        const auto shown = std::exchange(data->editorShown, nullptr); // the import writes no tags
        data->Table1.appendRecord(r);
        data->editorShown = shown;
        return *data->Table1.currentKey();
    }
    void setTitle(std::int64_t key, const std::string &title) {
        ASSERT_TRUE(data->Table1.gotoKey(key));
        data->Table1.edit();
        data->Table1.setFieldString("Titel", title);
        data->Table1.post();
    }
};

} // namespace

TEST(TagPositions, ARewriteKeepsTheTagsRoomWhenTheNewFramesFit) {
    t::TempDir dir;
    const Bytes audio = t::makeMp3({.seconds = 0.3});
    // 2.3, unsynchronised: the body read is shorter than the tag's room.
    const Bytes priv = frame(3, "PRIV", Bytes{'o', 0, 0xFF, 0x00, 0xE0, 0xFF, 0x00, 0xF0}, 0, 6);
    const Bytes unsync = tag(3, {text(3, "TIT2", "Old"), priv}, 100, 0x80);
    // 2.4 with a footer, which the rewrite does not write again.
    Bytes footed = tag(4, {text(4, "TIT2", "Old")}, 100, 0x10);
    Bytes footer = footed;
    footer.resize(10);
    footer[0] = '3', footer[1] = 'D', footer[2] = 'I';
    footed += footer;
    for (const Bytes &old : {unsync, footed}) {
        const auto file = dir / "song.mp3";
        t::writeFile(file, old + audio);
        ASSERT_TRUE(writeId3Tag(file, {"New Title", "New Artist", "2001", "Rock"}).ok());
        const auto now = t::readFile(file);
        EXPECT_EQ(offsetOf(now, audio), static_cast<std::int64_t>(old.size())) << old[3];
        EXPECT_EQ(readSongTags(file).title, "New Title");
    }
}

TEST(TagPositions, StoredPositionsMoveWithTheAudioWhenTheTagMustGrow) {
    Library lib;
    const auto file = lib.dir / "song.mp3";
    const Bytes old = tag(3, {text(3, "TIT2", "Old")});
    t::writeFile(file, old + lib.audio);
    const auto start = static_cast<std::int64_t>(old.size());
    const auto key = lib.add(file, start + 4000);
    const auto untouched = lib.add(lib.dir / "other.mp3", 0);
    analysis::Result result;
    result.audibleStartByte = start + 100;
    result.audibleEndByte = start + 6000;
    analysis::Store store(lib.data->Table1);
    ASSERT_TRUE(store.save({key, file.string()}, result));
    ASSERT_TRUE(store.save({untouched, (lib.dir / "other.mp3").string()}, result));
    HotCueStore cues(lib.data->Table1);
    cues.attach();
    const HotCue cue{2, 11025.5, 4410.0, defaultHotCueColour(2)};
    ASSERT_TRUE(cues.save(key, cue));
    const auto streamBefore = decoded(file);

    lib.setTitle(key, std::string(200, 'L')); // does not fit in the old tag
    lib.data->finishTagWrites();
    ASSERT_EQ(lib.data->lastTagWrite().status, TagWriteStatus::Written);
    const auto moved = offsetOf(t::readFile(file), lib.audio) - start;
    ASSERT_GT(moved, 0);
    ASSERT_TRUE(lib.data->Table1.gotoKey(key));
    EXPECT_EQ(lib.data->Table1.fieldAsInteger("StartZeit"), start + 4000 + moved);
    EXPECT_EQ(lib.data->Table1.fieldAsInteger("EndZeit"), start + 6000 + moved);
    EXPECT_EQ(store.load(key)->audibleStartByte, start + 100 + moved);
    EXPECT_EQ(store.load(key)->audibleEndByte, start + 6000 + moved);
    EXPECT_EQ(store.load(untouched)->audibleStartByte, start + 100); // another row's positions stay
    // A hot cue is a stream position: the stream decodes as before, so the cue stays put.
    EXPECT_EQ(cues.load(key), std::vector<HotCue>{cue});
    EXPECT_EQ(decoded(file), streamBefore);
}

TEST(TagPositions, APostWritesOnlyTheFieldsItChanged) {
    Library lib;
    lib.data->editorShown = nullptr;
    const auto key = lib.add("/m/a.mp3", 0);
    analysis::Store store(lib.data->Table1);
    analysis::Result result;
    result.bpm = 128.0;
    result.audibleEndByte = 99000;

    // The editor copied the row before the analysis stored its figures.
    SongTable &table = lib.data->Table1;
    table.edit();
    ASSERT_TRUE(store.save({key, "/m/a.mp3"}, result));
    table.setFieldString("Titel", "Typed");
    table.post();
    EXPECT_EQ(table.fieldAsInteger("Beats"), 128);
    EXPECT_EQ(table.fieldAsInteger("EndZeit"), 99000);
    EXPECT_EQ(table.fieldAsString("Analyse"), "True");

    // A deck stores its cue point from a copy taken before a new analysis.
    table.edit();
    result.bpm = 140.0;
    result.audibleEndByte = 88000;
    ASSERT_TRUE(store.save({key, "/m/a.mp3"}, result));
    table.setFieldInteger("StartZeit", 4321);
    table.post();
    EXPECT_EQ(table.fieldAsInteger("Beats"), 140);
    EXPECT_EQ(table.fieldAsInteger("EndZeit"), 88000);
    EXPECT_EQ(table.fieldAsInteger("StartZeit"), 4321);
    EXPECT_EQ(table.fieldAsString("Titel"), "Typed");
}

TEST(TagPositions, QuickEditsEndWithTheLastTextsEvenWhenTheProgramQuitsMeanwhile) {
    Library lib;
    const auto file = lib.dir / "song.mp3";
    t::writeFile(file, tag(3, {text(3, "TIT2", "Old")}, 10) + lib.audio);
    const auto key = lib.add(file, 0);
    for (const char *title : {"First", "Second", "Third and last"})
        lib.setTitle(key, title);
    lib.data.reset(); // quitting waits for the writes still pending
    EXPECT_EQ(readSongTags(file).title, "Third and last");
    EXPECT_EQ(readId3Tag(file).title(), "Third and last");
}
