// dj-mixora-decode INPUT OUTPUT.wav
// Decodes an MP3 file exactly as a deck reads it (frame by frame through Mp3Player, up to the
// end code) into a 16-bit PCM WAV file, and prints the stream figures the deck works with.
// For users checking a file that will not play, and for end-to-end tests.
#include "engine/Formate.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <vector>

namespace {

void put16(std::ostream &out, std::uint16_t v) {
    const char b[2] = {static_cast<char>(v & 0xff), static_cast<char>(v >> 8)};
    out.write(b, 2);
}

void put32(std::ostream &out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.put(static_cast<char>((v >> (8 * i)) & 0xff));
}

void writeWavHeader(std::ostream &out, int sampleRate, int channels, std::uint32_t dataBytes) {
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1); // PCM
    put16(out, static_cast<std::uint16_t>(channels));
    put32(out, static_cast<std::uint32_t>(sampleRate));
    put32(out, static_cast<std::uint32_t>(sampleRate * channels * 2));
    put16(out, static_cast<std::uint16_t>(channels * 2));
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::cerr << "usage: dj-mixora-decode INPUT OUTPUT.wav\n";
        return 2;
    }
    try {
        mixora::engine::Mp3Player reader(argv[1]);
        // The figures printed are the exact ones a deck has once its index is complete.
        reader.WaitForIndex();
        std::cout << "sampleRate=" << reader.sampleRate << '\n'
                  << "channels=" << reader.channels << '\n'
                  << "bitsPerSample=" << reader.bitsPerSample << '\n'
                  << "frameBytes=" << reader.frameBytes << '\n'
                  << "bufferBytes=" << reader.bufferBytes << '\n'
                  << "bufferTime=" << reader.bufferTime << '\n'
                  << "bytesPerSecond=" << reader.bytesPerSecond << '\n'
                  << "frameInputBytes=" << reader.frameInputBytes << '\n'
                  << "inputSize=" << reader.inputSize << '\n'
                  << "durationSeconds=" << reader.durationSeconds << '\n';

        std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
        if (!out) {
            std::cerr << "cannot write " << argv[2] << '\n';
            return 1;
        }
        // The header's sizes are known only at the end; write it again then.
        writeWavHeader(out, reader.sampleRate, reader.channels, 0);
        std::vector<char> frame(static_cast<size_t>(reader.frameBytes));
        std::uint64_t dataBytes = 0;
        while (reader.ReadFrames(1, frame.data()) != mixora::engine::Mp3Player::kEndOfInput) {
            out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
            dataBytes += frame.size();
        }
        if (dataBytes > 0xffffffffull - 36) {
            std::cerr << "decoded audio is too long for a WAV file\n";
            return 1;
        }
        out.seekp(0);
        writeWavHeader(out, reader.sampleRate, reader.channels, static_cast<std::uint32_t>(dataBytes));
        out.flush();
        if (!out) {
            std::cerr << "cannot write " << argv[2] << '\n';
            return 1;
        }
    } catch (const mixora::engine::Mp3Error &e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
