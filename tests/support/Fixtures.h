// Test helpers: MP3 fixtures encoded at test time with libmp3lame, temporary folders,
// and the location of the shared test corpus.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace mixora::test {

struct Mp3Options {
    int sampleRate = 44100;
    int channels = 2; // 1 or 2
    double seconds = 2.0;
    bool vbr = false;
    int bitrateKbps = 128; // CBR bitrate, or the VBR quality hint's mean
    double frequencyHz = 440.0;
    double amplitude = 0.5;       // of full scale
    bool writeInfoTag = true;     // the LAME/Xing info frame at the start
    double burstEverySeconds = 0; // > 0: the tone only in a 5 ms burst at the start of each such stretch
};

// A deterministic sine tone (left channel at frequencyHz, right an octave up), or bursts of it.
std::vector<std::uint8_t> makeMp3(const Mp3Options &options = {});
void writeMp3(const std::filesystem::path &file, const Mp3Options &options = {});

// The 128-byte ID3v1 tag block; fields are cut or zero-padded to their widths, bytes as given.
std::vector<std::uint8_t> makeId3v1(const std::string &title, const std::string &artist,
                                    const std::string &album, const std::string &year,
                                    const std::string &comment, std::uint8_t genre = 255);

void writeFile(const std::filesystem::path &file, const std::vector<std::uint8_t> &bytes);
void appendFile(const std::filesystem::path &file, const std::vector<std::uint8_t> &bytes);
std::vector<std::uint8_t> readFile(const std::filesystem::path &file);

// A fresh folder below the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The shared corpus folder, or an empty path where it is absent (a clone without ../shared).
std::filesystem::path corpusDir();

// What a shell command wrote to its standard output, and its exit status (-1 when it did not
// exit, e.g. killed by a signal).
struct CommandRun {
    int status = -1;
    std::string out;
};
CommandRun runCommand(const std::string &command);

} // namespace mixora::test

// Skips the calling test with a visible reason where the corpus is absent.
#define MIXORA_REQUIRE_CORPUS()                                                                              \
    do {                                                                                                     \
        if (::mixora::test::corpusDir().empty())                                                             \
            GTEST_SKIP() << "test corpus ../shared/corpus is absent beside the project";                     \
    } while (0)
