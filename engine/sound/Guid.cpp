// Device GUIDs: name-based (SHA-1, version 5) so the same device keeps its GUID across restarts, and the
// braced upper-case text form the settings file stores.
#include "engine/sound/Sound.h"

#include <cstring>

namespace mixora::sound {

namespace {

std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

void sha1Block(std::uint32_t h[5], const std::uint8_t *block) {
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16 |
               std::uint32_t(block[4 * i + 2]) << 8 | std::uint32_t(block[4 * i + 3]);
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

} // namespace

std::array<std::uint8_t, 20> sha1(std::string_view data) {
    std::uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::size_t full = data.size() / 64 * 64;
    for (std::size_t i = 0; i < full; i += 64)
        sha1Block(h, reinterpret_cast<const std::uint8_t *>(data.data()) + i);
    // Padding: 0x80, zeros, then the bit length big-endian; one or two final blocks.
    std::uint8_t tail[128] = {};
    std::size_t rest = data.size() - full;
    std::memcpy(tail, data.data() + full, rest);
    tail[rest] = 0x80;
    std::size_t tailLen = rest + 1 + 8 <= 64 ? 64 : 128;
    std::uint64_t bits = std::uint64_t(data.size()) * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailLen - 1 - i] = std::uint8_t(bits >> (8 * i));
    for (std::size_t i = 0; i < tailLen; i += 64)
        sha1Block(h, tail + i);
    std::array<std::uint8_t, 20> out{};
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            out[4 * i + j] = std::uint8_t(h[i] >> (24 - 8 * j));
    return out;
}

std::string Guid::toString() const {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "{";
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s += '-';
        s += digits[bytes_[i] >> 4];
        s += digits[bytes_[i] & 15];
    }
    s += '}';
    return s;
}

std::optional<Guid> Guid::tryParse(std::string_view text) {
    if (text.size() != 38 || text.front() != '{' || text.back() != '}')
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t b = 0;
    for (std::size_t i = 1; i < 37;) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes[b++] = std::uint8_t(hi << 4 | lo);
        i += 2;
    }
    return Guid(bytes);
}

Guid Guid::parse(std::string_view text) {
    if (auto g = tryParse(text))
        return *g;
    throw SoundError("Ungültige Geräte-GUID: \"" + std::string(text) + "\"");
}

Guid Guid::nameBased(const Guid &nameSpace, std::string_view name) {
    std::string input(reinterpret_cast<const char *>(nameSpace.bytes_.data()), 16);
    input.append(name);
    auto digest = sha1(input);
    std::array<std::uint8_t, 16> b{};
    std::memcpy(b.data(), digest.data(), 16);
    b[6] = std::uint8_t((b[6] & 0x0F) | 0x50);
    b[8] = std::uint8_t((b[8] & 0x3F) | 0x80);
    return Guid(b);
}

Guid Guid::deviceNamespace() {
    // Fixed for ever: changing it would change every stored device GUID.
    static const Guid ns = nameBased(Guid::parse("{6BA7B811-9DAD-11D1-80B4-00C04FD430C8}"), // URL namespace
                                     "urn:dj-mixora:sound-device");
    return ns;
}

bool Guid::isNull() const {
    for (auto b : bytes_)
        if (b)
            return false;
    return true;
}

} // namespace mixora::sound
