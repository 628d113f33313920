#include "tests/support/Fixtures.h"

#include <lame/lame.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include <sys/wait.h>

namespace fs = std::filesystem;

namespace mixora::test {

std::vector<std::uint8_t> makeMp3(const Mp3Options &o) {
    lame_global_flags *lame = lame_init();
    if (!lame)
        throw std::runtime_error("lame_init failed");
    lame_set_in_samplerate(lame, o.sampleRate);
    lame_set_out_samplerate(lame, o.sampleRate);
    lame_set_num_channels(lame, o.channels);
    lame_set_mode(lame, o.channels == 1 ? MONO : JOINT_STEREO);
    lame_set_quality(lame, 7);
    lame_set_bWriteVbrTag(lame, o.writeInfoTag ? 1 : 0);
    if (o.vbr) {
        lame_set_VBR(lame, vbr_default);
        lame_set_VBR_quality(lame, 4.0f);
    } else {
        lame_set_VBR(lame, vbr_off);
        lame_set_brate(lame, o.bitrateKbps);
    }
    if (lame_init_params(lame) < 0) {
        lame_close(lame);
        throw std::runtime_error("lame_init_params failed");
    }

    const int total = static_cast<int>(o.seconds * o.sampleRate);
    const int chunk = 4096;
    std::vector<short> left(chunk), right(chunk);
    std::vector<unsigned char> buf(static_cast<size_t>(1.25 * chunk + 7200));
    std::vector<std::uint8_t> out;
    const double amp = o.amplitude * 32767.0;
    for (int done = 0; done < total; done += chunk) {
        const int n = std::min(chunk, total - done);
        for (int i = 0; i < n; ++i) {
            double t = static_cast<double>(done + i) / o.sampleRate;
            double a = amp;
            if (o.burstEverySeconds > 0) {
                t = std::fmod(t, o.burstEverySeconds);
                a = t < 0.005 ? amp : 0.0;
            }
            left[i] = static_cast<short>(a * std::sin(2 * M_PI * o.frequencyHz * t));
            right[i] = static_cast<short>(a * std::sin(2 * M_PI * 2 * o.frequencyHz * t));
        }
        const int bytes = lame_encode_buffer(lame, left.data(), o.channels == 2 ? right.data() : nullptr, n,
                                             buf.data(), static_cast<int>(buf.size()));
        if (bytes < 0) {
            lame_close(lame);
            throw std::runtime_error("lame_encode_buffer failed");
        }
        out.insert(out.end(), buf.begin(), buf.begin() + bytes);
    }
    const int bytes = lame_encode_flush(lame, buf.data(), static_cast<int>(buf.size()));
    if (bytes > 0)
        out.insert(out.end(), buf.begin(), buf.begin() + bytes);
    if (o.writeInfoTag) {
        // The info frame is written over the first frame's place once all frames are known.
        std::vector<unsigned char> tag(16384);
        const size_t n = lame_get_lametag_frame(lame, tag.data(), tag.size());
        if (n > 0 && n <= out.size())
            std::copy(tag.begin(), tag.begin() + static_cast<long>(n), out.begin());
    }
    lame_close(lame);
    return out;
}

void writeMp3(const fs::path &file, const Mp3Options &options) {
    writeFile(file, makeMp3(options));
}

std::vector<std::uint8_t> makeId3v1(const std::string &title, const std::string &artist,
                                    const std::string &album, const std::string &year,
                                    const std::string &comment, std::uint8_t genre) {
    std::vector<std::uint8_t> tag(128, 0);
    tag[0] = 'T';
    tag[1] = 'A';
    tag[2] = 'G';
    auto put = [&](size_t at, const std::string &s, size_t width) {
        for (size_t i = 0; i < width && i < s.size(); ++i)
            tag[at + i] = static_cast<std::uint8_t>(s[i]);
    };
    put(3, title, 30);
    put(33, artist, 30);
    put(63, album, 30);
    put(93, year, 4);
    put(97, comment, 30);
    tag[127] = genre;
    return tag;
}

void writeFile(const fs::path &file, const std::vector<std::uint8_t> &bytes) {
    std::ofstream f(file, std::ios::binary | std::ios::trunc);
    if (!f)
        throw std::runtime_error("cannot write " + file.string());
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void appendFile(const fs::path &file, const std::vector<std::uint8_t> &bytes) {
    std::ofstream f(file, std::ios::binary | std::ios::app);
    if (!f)
        throw std::runtime_error("cannot append to " + file.string());
    f.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> readFile(const fs::path &file) {
    std::ifstream f(file, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + file.string());
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

TempDir::TempDir() {
    std::random_device rd;
    std::mt19937_64 rng(rd());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = fs::temp_directory_path() / ("mixora-test-" + std::to_string(rng()));
        if (fs::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable so removal succeeds.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
}

fs::path corpusDir() {
    if (const char *env = std::getenv("MIXORA_CORPUS_DIR"); env && *env)
        return fs::is_directory(env) ? fs::path(env) : fs::path();
    fs::path p = MIXORA_CORPUS_DIR_DEFAULT;
    std::error_code ec;
    if (fs::is_directory(p / "mpeg-conformance", ec))
        return fs::canonical(p, ec);
    return {};
}

CommandRun runCommand(const std::string &command) {
    CommandRun run;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        run.out += buffer;
    const int raw = ::pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
}

} // namespace mixora::test
