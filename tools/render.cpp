// dj-mixora-render INPUT OUTPUT.wav [--pitch P] [--volume V] [--head-volume V] [--seek BYTES]
//                   [--seconds S]
// Plays an MP3 file through a deck player on an offline sound device and writes the device's mix
// (44100 Hz, 16-bit, stereo) to a WAV file: S seconds of output, or until the deck has ended.
// With --head-volume a second offline device takes the headphone copy; its mix goes to the
// output's name with ".head" before ".wav". Offline devices wait for every refill, so the output
// is the same byte for byte on every run and every machine.
#include "engine/DoublePlayer.h"
#include "engine/sound/Sound.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
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

int usage() {
    std::cerr << "usage: dj-mixora-render INPUT OUTPUT.wav [--pitch P] [--volume V] [--head-volume V] "
                 "[--seek BYTES] [--seconds S]\n";
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3)
        return usage();
    const std::string input = argv[1];
    const std::string output = argv[2];
    int pitch = 0;
    int volume = 0;
    std::optional<int> headVolume;
    std::optional<std::int32_t> seek;
    std::optional<double> seconds;
    for (int i = 3; i < argc; i += 2) {
        const std::string option = argv[i];
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
    player->view = &watcher;
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
        player->FillBuffer(player->reader->bufferBytes / 2);
        player->Rewind();
    }
    player->SetPitch(pitch);
    player->SetVolume(volume);
    player->SetHeadVolume(headVolume.value_or(sound::kSilenceHundredthsDb));

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
                : static_cast<std::uint64_t>(player->reader->durationSeconds + 10) * 4 * sound::kDeviceRate;
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
    return 0;
}
