// Builders of ID3v2 and APE tags for tests and benchmarks, written from the formats'
// byte layouts so the reader is checked against files it did not make itself.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mixora::test::tagbytes {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes &operator+=(Bytes &a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes synchsafe(std::uint32_t v) {
    return {static_cast<std::uint8_t>((v >> 21) & 0x7F), static_cast<std::uint8_t>((v >> 14) & 0x7F),
            static_cast<std::uint8_t>((v >> 7) & 0x7F), static_cast<std::uint8_t>(v & 0x7F)};
}

inline Bytes bigEndian(std::uint32_t v, int n) {
    Bytes out;
    for (int i = n - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF));
    return out;
}

// A frame with its header; `size` overrides the stored size (for lying frames).
inline Bytes frame(int version, std::string_view id, const Bytes &data, std::uint16_t flags = 0,
                   long long size = -1) {
    const auto n = static_cast<std::uint32_t>(size < 0 ? static_cast<long long>(data.size()) : size);
    Bytes out = bytes(id);
    if (version == 2)
        out = out + bigEndian(n, 3);
    else
        out = out + (version == 3 ? bigEndian(n, 4) : synchsafe(n)) + bigEndian(flags, 2);
    return out + data;
}

// UTF-8 (letters of the first 65,536 code points) as UTF-16 little endian.
inline Bytes utf16le(std::string_view utf8) {
    Bytes out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp;
        if (c < 0x80) {
            cp = c;
            i += 1;
        } else if (c < 0xE0) {
            cp = ((c & 0x1Fu) << 6) | (utf8[i + 1] & 0x3F);
            i += 2;
        } else {
            cp = ((c & 0x0Fu) << 12) | ((utf8[i + 1] & 0x3Fu) << 6) | (utf8[i + 2] & 0x3F);
            i += 3;
        }
        out.push_back(static_cast<std::uint8_t>(cp & 0xFF));
        out.push_back(static_cast<std::uint8_t>(cp >> 8));
    }
    return out;
}

enum Encoding { kLatin1 = 0, kUtf16 = 1, kUtf16BE = 2, kUtf8 = 3 };

// A text frame; Latin-1 texts are given as the bytes to store.
inline Bytes text(int version, std::string_view id, std::string_view s, Encoding e = kLatin1) {
    Bytes data{static_cast<std::uint8_t>(e)};
    if (e == kUtf16) {
        data = data + Bytes{0xFF, 0xFE} + utf16le(s);
    } else if (e == kUtf16BE) {
        Bytes le = utf16le(s);
        for (std::size_t i = 0; i + 1 < le.size(); i += 2)
            std::swap(le[i], le[i + 1]);
        data = data + le;
    } else {
        data = data + bytes(s);
    }
    return frame(version, id, data);
}

// A whole tag; `size` overrides the stored size.
inline Bytes tag(int version, const std::vector<Bytes> &frames, std::size_t padding = 0,
                 std::uint8_t flags = 0, long long size = -1) {
    Bytes body;
    for (const auto &f : frames)
        body += f;
    body.resize(body.size() + padding, 0);
    const auto n = static_cast<std::uint32_t>(size < 0 ? static_cast<long long>(body.size()) : size);
    return bytes("ID3") + Bytes{static_cast<std::uint8_t>(version), 0, flags} + synchsafe(n) + body;
}

inline Bytes littleEndian32(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}

// An APE v2 tag with header and footer; `count` overrides the stored item count.
inline Bytes ape(const std::vector<std::pair<std::string, std::string>> &items, long long count = -1) {
    Bytes body;
    for (const auto &[key, value] : items)
        body += littleEndian32(static_cast<std::uint32_t>(value.size())) + littleEndian32(0) + bytes(key) +
                Bytes{0} + bytes(value);
    const auto n = static_cast<std::uint32_t>(count < 0 ? static_cast<long long>(items.size()) : count);
    auto block = [&](bool header) {
        return bytes("APETAGEX") + littleEndian32(2000) +
               littleEndian32(static_cast<std::uint32_t>(body.size() + 32)) + littleEndian32(n) +
               littleEndian32(0x80000000u | (header ? 0x20000000u : 0)) + Bytes(8, 0);
    };
    return block(true) + body + block(false);
}

} // namespace mixora::test::tagbytes
