// dj-mixora-render INPUT OUTPUT.wav [--pitch P] [--keylock] [--volume V] [--head-volume V] [--seek BYTES]
//                   [--seconds S] [--eq LOW:MID:HIGH] [--filter F]
//                   [--loop START_SECONDS:BEATS [--bpm B --first-beat S] [--dir PROGRAMDIR]]
// Plays an MP3 file through a deck player on an offline sound device and writes the device's mix
// (44100 Hz, 16-bit, stereo) to a WAV file: S seconds of output, or until the deck has ended.
// --eq sets the deck's three EQ bands, each in dB or "kill"; --filter its filter knob (−1 low-pass …
// 0 off … 1 high-pass). --keylock: the pitch changes the tempo, the key stays. Values out of range are
// clamped. --loop START_SECONDS:BEATS sets a loop of that
// many beats (a number or a fraction such as 1/8) at that time, its start on the nearest beat of the
// grid given by --bpm B --first-beat S, or else of the song's stored analysis (the library of
// --dir PROGRAMDIR, or of the folder the program chooses), so loop length and wrap can be measured. With
// --head-volume a second offline device takes the headphone copy; its mix goes to the output's name with
// ".head" before ".wav". Offline devices wait for every refill, so the output is the same byte for byte on
// every run and every machine.
//
// dj-mixora-render --play DEVICE INPUT [INPUT2] [--pitch P] [--keylock] [--volume V] [--seconds S]
// Plays one or two decks in real time on an output device (the first whose description contains
// DEVICE, or "null" for a null device with 256-frame periods) for S seconds (default 60), starting
// a deck again whenever it ends, and prints the device's underflow count: the dropout figure of a
// long set.
#include "engine/DoublePlayer.h"
#include "engine/sound/Sound.h"
#ifdef MIXORA_RENDER_STORED_GRID
#include "analysis/Store.h"
#include "library/Datamod.h"
#include "util/ProgramDir.h"
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using mixora::engine::DoublePlayer;
namespace sound = mixora::sound;

void put16(std::ostream &out, std::uint16_t v) {
    out.put(static_cast<char>(v & 0xff));
    out.put(static_cast<char>(v >> 8));
}

void put32(std::ostream &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.put(static_cast<char>((v >> (8 * i)) & 0xff));
}

class WavWriter {
public:
    explicit WavWriter(const std::string &path) : out_(path, std::ios::binary | std::ios::trunc) {
        if (out_)
            header(0);
    }
    bool ok() const { return static_cast<bool>(out_); }
    void append(const std::vector<std::int16_t> &samples) {
        for (std::int16_t s : samples)
            put16(out_, static_cast<std::uint16_t>(s));
        dataBytes_ += samples.size() * 2;
    }
    bool finish() {
        if (dataBytes_ > 0xffffffffull - 36)
            return false;
        out_.seekp(0);
        header(static_cast<std::uint32_t>(dataBytes_));
        out_.flush();
        return static_cast<bool>(out_);
    }

private:
    void header(std::uint32_t dataBytes) {
        out_.write("RIFF", 4);
        put32(out_, 36 + dataBytes);
        out_.write("WAVEfmt ", 8);
        put32(out_, 16);
        put16(out_, 1);
        put16(out_, sound::kDeviceChannels);
        put32(out_, sound::kDeviceRate);
        put32(out_, sound::kDeviceRate * sound::kDeviceBytesPerFrame);
        put16(out_, sound::kDeviceBytesPerFrame);
        put16(out_, 16);
        out_.write("data", 4);
        put32(out_, dataBytes);
    }

    std::ofstream out_;
    std::uint64_t dataBytes_ = 0;
};

// Watches for the deck's "ended"; the other reports have no reader here.
class EndWatcher : public mixora::engine::DeckView {
public:
    void setSeekRange(std::int32_t, int, int) override {}
    void setSeekPosition(std::int32_t) override {}
    void setTimeText(const std::string &) override {}
    void setStateWord(const std::string &word) override {
        if (word == "ended")
            ended = true;
    }
    std::atomic<bool> ended{false};
};

std::string headName(const std::string &output) {
    const std::string ext = ".wav";
    if (output.size() >= ext.size()) {
        std::string tail = output.substr(output.size() - ext.size());
        std::transform(tail.begin(), tail.end(), tail.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        if (tail == ext)
            return output.substr(0, output.size() - ext.size()) + ".head" +
                   output.substr(output.size() - ext.size());
    }
    return output + ".head.wav";
}

template <typename T> std::optional<T> parseInt(const std::string &text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> parseSeconds(const std::string &text) {
    try {
        size_t used = 0;
        const double v = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(v) || v < 0 || v > 24 * 3600)
            return std::nullopt;
        return v;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

// A finite number (values out of range are the setters' to clamp).
std::optional<double> parseNumber(const std::string &text) {
    try {
        size_t used = 0;
        const double v = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(v))
            return std::nullopt;
        return v;
    } catch (const std::exception &) {
        return std::nullopt;
    }
}

// "LOW:MID:HIGH", each a number of dB or "kill".
struct EqBand {
    double dB = 0;
    bool kill = false;
};
std::optional<std::array<EqBand, 3>> parseEq(const std::string &text) {
    std::array<EqBand, 3> bands;
    std::size_t from = 0;
    for (std::size_t k = 0; k < bands.size(); ++k) {
        const std::size_t colon = text.find(':', from);
        if ((k < 2) == (colon == std::string::npos))
            return std::nullopt;
        const std::string part =
            text.substr(from, colon == std::string::npos ? std::string::npos : colon - from);
        if (part == "kill") {
            bands[k].kill = true;
        } else {
            const auto v = parseNumber(part);
            if (!v)
                return std::nullopt;
            bands[k].dB = *v;
        }
        from = colon + 1;
    }
    return bands;
}

// "START_SECONDS:BEATS", BEATS a positive number or a fraction "N/M".
struct LoopRequest {
    double startSeconds = 0;
    double beats = 0;
};
std::optional<LoopRequest> parseLoop(const std::string &text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const auto start = parseSeconds(text.substr(0, colon));
    const std::string size = text.substr(colon + 1);
    std::optional<double> beats;
    if (const std::size_t slash = size.find('/'); slash != std::string::npos) {
        const auto n = parseNumber(size.substr(0, slash));
        const auto m = parseNumber(size.substr(slash + 1));
        if (n && m && *m > 0)
            beats = *n / *m;
    } else {
        beats = parseNumber(size);
    }
    if (!start || !beats || *beats <= 0)
        return std::nullopt;
    return LoopRequest{*start, *beats};
}

// The song's stored beat grid (tempo, first beat), when the library knows the file and has analysed it.
std::optional<std::pair<double, double>> storedGrid(const std::string &input, const std::string &programDir) {
#ifndef MIXORA_RENDER_STORED_GRID
    (void)input;
    (void)programDir;
    return std::nullopt;
#else
    namespace fs = std::filesystem;
    const fs::path dir = mixora::util::chooseProgramDir(fs::path(programDir)).dir;
    std::error_code ec;
    if (!fs::is_regular_file(mixora::TDataModule1::tableFile(dir), ec))
        return std::nullopt;
    try {
        mixora::TDataModule1 data;
        if (!data.openOrCreate(dir))
            return std::nullopt;
        const fs::path wanted = fs::weakly_canonical(fs::path(input), ec);
        for (const auto &song : data.Table1.allPaths()) {
            if (fs::weakly_canonical(fs::path(song.path), ec) != wanted)
                continue;
            const mixora::analysis::Store store(data.Table1);
            const auto result = store.load(song.index);
            if (result && result->bpm && result->firstBeatSeconds)
                return std::make_pair(*result->bpm, *result->firstBeatSeconds);
            return std::nullopt;
        }
    } catch (const std::exception &) {
    }
    return std::nullopt;
#endif
}

int usage() {
    std::cerr
        << "usage: dj-mixora-render INPUT OUTPUT.wav [--pitch P] [--keylock] [--volume V] [--head-volume V] "
           "[--seek BYTES] [--seconds S] [--eq LOW:MID:HIGH] [--filter F]\n"
           "                        [--loop START_SECONDS:BEATS [--bpm B --first-beat S] [--dir "
           "PROGRAMDIR]]\n"
           "       dj-mixora-render --play DEVICE INPUT [INPUT2] [--pitch P] [--keylock] [--volume V] "
           "[--seconds S]\n";
    return 2;
}

std::shared_ptr<sound::Device> openByName(const std::string &name) {
    if (name == "null")
        return sound::Device::createNull("Null", 256);
    for (const auto &info : sound::enumerateDevices())
        if (info.guid && info.description.find(name) != std::string::npos)
            return sound::openDevice(*info.guid);
    std::cerr << "no output device matches \"" << name << "\"; present:\n";
    for (const auto &info : sound::enumerateDevices())
        if (info.guid)
            std::cerr << "  " << info.description << '\n';
    return nullptr;
}

struct LiveDeck {
    std::string input;
    EndWatcher watcher;
    std::unique_ptr<DoublePlayer> player;
};

bool startDeck(LiveDeck &deck, sound::Device &device, int pitch, bool keyLock, int volume) {
    deck.player.reset();
    deck.watcher.ended = false;
    deck.player = std::make_unique<DoublePlayer>(&device, nullptr);
    deck.player->inside().view = &deck.watcher;
    if (deck.player->Open(deck.input) != DoublePlayer::kOpenReady) {
        std::cerr << deck.input << ": " << deck.player->openError() << '\n';
        return false;
    }
    deck.player->SetPitch(pitch);
    deck.player->SetKeyLock(keyLock);
    deck.player->SetVolume(volume);
    deck.player->Play();
    return true;
}

int playLive(int argc, char **argv) {
    if (argc < 4)
        return usage();
    const std::string deviceName = argv[2];
    std::vector<std::string> inputs;
    int pitch = 0;
    bool keyLock = false;
    int volume = 0;
    double seconds = 60;
    for (int i = 3; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0) {
            inputs.push_back(arg);
            continue;
        }
        if (arg == "--keylock") {
            keyLock = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        const std::string value = argv[++i];
        bool ok = true;
        if (arg == "--pitch") {
            const auto v = parseInt<int>(value);
            ok = v.has_value();
            pitch = v.value_or(0);
        } else if (arg == "--volume") {
            const auto v = parseInt<int>(value);
            ok = v.has_value();
            volume = v.value_or(0);
        } else if (arg == "--seconds") {
            const auto v = parseSeconds(value);
            ok = v.has_value();
            seconds = v.value_or(0);
        } else {
            std::cerr << "unknown option " << arg << '\n';
            return usage();
        }
        if (!ok) {
            std::cerr << "invalid value for " << arg << ": " << value << '\n';
            return usage();
        }
    }
    if (inputs.empty() || inputs.size() > 2)
        return usage();

    std::shared_ptr<sound::Device> device;
    try {
        device = openByName(deviceName);
    } catch (const sound::SoundError &e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    if (!device)
        return 1;
    std::vector<LiveDeck> decks(inputs.size());
    for (std::size_t i = 0; i < decks.size(); ++i) {
        decks[i].input = inputs[i];
        if (!startDeck(decks[i], *device, pitch, keyLock, volume))
            return 1;
    }
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto end =
        start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds));
    auto nextReport = start + std::chrono::seconds(60);
    while (clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (auto &deck : decks)
            if (deck.watcher.ended && !startDeck(deck, *device, pitch, keyLock, volume))
                return 1;
        if (clock::now() >= nextReport) {
            std::cout << std::chrono::duration_cast<std::chrono::seconds>(clock::now() - start).count()
                      << " s: " << device->underflows() << " underflows" << std::endl;
            nextReport += std::chrono::seconds(60);
        }
    }
    const double played = std::chrono::duration<double>(clock::now() - start).count();
    for (auto &deck : decks)
        deck.player.reset();
    std::cout << "device: " << device->description() << "\ndecks: " << decks.size() << "\nseconds: " << played
              << "\nframes mixed: " << device->framesRendered() << "\nunderflows: " << device->underflows()
              << std::endl;
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "--play")
        return playLive(argc, argv);
    if (argc < 3)
        return usage();
    const std::string input = argv[1];
    const std::string output = argv[2];
    int pitch = 0;
    int volume = 0;
    std::optional<int> headVolume;
    std::optional<std::int32_t> seek;
    std::optional<double> seconds;
    std::optional<std::array<EqBand, 3>> eq;
    std::optional<double> filter;
    std::optional<LoopRequest> loop;
    std::optional<double> bpm;
    std::optional<double> firstBeat;
    std::string programDir;
    bool keyLock = false;
    for (int i = 3; i < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--keylock") { // a switch, without a value
            keyLock = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            std::cerr << option << " needs a value\n";
            return usage();
        }
        const std::string value = argv[i + 1];
        bool ok = true;
        if (option == "--pitch") {
            const auto v = parseInt<int>(value);
            ok = v.has_value();
            pitch = v.value_or(0);
        } else if (option == "--volume") {
            const auto v = parseInt<int>(value);
            ok = v.has_value();
            volume = v.value_or(0);
        } else if (option == "--head-volume") {
            headVolume = parseInt<int>(value);
            ok = headVolume.has_value();
        } else if (option == "--seek") {
            seek = parseInt<std::int32_t>(value);
            ok = seek.has_value() && *seek >= 0;
        } else if (option == "--seconds") {
            seconds = parseSeconds(value);
            ok = seconds.has_value();
        } else if (option == "--eq") {
            eq = parseEq(value);
            ok = eq.has_value();
        } else if (option == "--filter") {
            filter = parseNumber(value);
            ok = filter.has_value();
        } else if (option == "--loop") {
            loop = parseLoop(value);
            ok = loop.has_value();
        } else if (option == "--bpm") {
            bpm = parseNumber(value);
            ok = bpm && *bpm >= 30 && *bpm <= 300;
        } else if (option == "--first-beat") {
            firstBeat = parseSeconds(value);
            ok = firstBeat.has_value();
        } else if (option == "--dir") {
            programDir = value;
        } else {
            std::cerr << "unknown option " << option << '\n';
            return usage();
        }
        if (!ok) {
            std::cerr << "invalid value for " << option << ": " << value << '\n';
            return usage();
        }
    }

    std::shared_ptr<sound::Device> mainDevice = sound::Device::createOffline("Render");
    std::shared_ptr<sound::Device> headDevice;
    if (headVolume)
        headDevice = sound::Device::createOffline("Render Kopfhörer");

    EndWatcher watcher;
    auto player = std::make_unique<DoublePlayer>(mainDevice.get(), headDevice.get());
    player->inside().view = &watcher;
    const int opened = player->Open(input);
    if (opened != DoublePlayer::kOpenReady) {
        std::cerr << (opened == DoublePlayer::kOpenFailed
                          ? player->openError()
                          : "the sound buffer takes no position notifications")
                  << '\n';
        return 1;
    }
    if (seek) {
        player->Seek(*seek);
        player->FillBuffer(0);
        player->FillBuffer(player->inside().reader->bufferBytes / 2);
        player->Rewind();
    }
    player->SetPitch(pitch);
    player->SetKeyLock(keyLock);
    player->SetVolume(volume);
    player->SetHeadVolume(headVolume.value_or(sound::kSilenceHundredthsDb));
    if (eq) {
        for (int band = 0; band < sound::kEqBands; ++band) {
            player->SetEq(band, float((*eq)[std::size_t(band)].dB));
            player->SetEqKill(band, (*eq)[std::size_t(band)].kill);
        }
    }
    if (filter)
        player->SetFilter(float(*filter));
    if (loop) {
        std::optional<std::pair<double, double>> grid;
        if (bpm)
            grid = std::make_pair(*bpm, firstBeat.value_or(0.0));
        else
            grid = storedGrid(input, programDir);
        if (!grid) {
            std::cerr << "--loop needs a beat grid: --bpm B --first-beat S, or an analysed song\n";
            return 2;
        }
        const double rate = player->SampleRate();
        const double beat = 60.0 / grid->first * rate;
        const double first = grid->second * rate;
        const double start = first + std::round((loop->startSeconds * rate - first) / beat) * beat;
        if (!player->SetLoop(std::max(start, first - std::floor(first / beat) * beat), loop->beats * beat)) {
            std::cerr << "the loop starts past the end of the song\n";
            return 1;
        }
        const auto set = player->Loop();
        std::cout << "loop: start " << set->start << " length " << set->length << " (stream samples)\n";
    }

    WavWriter mainOut(output);
    std::optional<WavWriter> headOut;
    if (headDevice)
        headOut.emplace(headName(output));
    if (!mainOut.ok() || (headOut && !headOut->ok())) {
        std::cerr << "cannot write " << (mainOut.ok() ? headName(output) : output) << '\n';
        return 1;
    }

    player->Play();
    // One period at a time, headphones first: the headphone buffer follows the main buffer's
    // cursor, so it must never see the main device a period ahead.
    constexpr std::uint64_t kChunkFrames = sound::Device::offlinePeriodFrames();
    // A deck that never reports its end still stops: four times the song at the slowest pitch.
    const std::uint64_t limit =
        seconds ? static_cast<std::uint64_t>(std::llround(*seconds * sound::kDeviceRate))
                : static_cast<std::uint64_t>(player->inside().reader->durationSeconds + 10) * 4 *
                      sound::kDeviceRate;
    std::uint64_t done = 0;
    while (done < limit) {
        const auto frames = static_cast<std::size_t>(std::min(kChunkFrames, limit - done));
        if (headDevice)
            headOut->append(headDevice->render(frames));
        mainOut.append(mainDevice->render(frames));
        done += frames;
        if (!seconds && watcher.ended)
            break;
    }
    player.reset();
    if (!mainOut.finish() || (headOut && !headOut->finish())) {
        std::cerr << "cannot write the output\n";
        return 1;
    }
    // Offline devices wait for the deck, so this stays 0 unless the sound layer breaks that promise.
    std::cout << "underflows: " << mainDevice->underflows() << '\n';
    return 0;
}
