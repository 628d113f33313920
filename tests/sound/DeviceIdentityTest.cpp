// Device GUIDs (SHA-1, version 5, text form), enumeration order and opening devices by GUID.
#include "engine/DSBasicObject.h"
#include "engine/sound/Sound.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace mixora::sound;

namespace {

std::string hex(const std::array<std::uint8_t, 20> &d) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    for (auto b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

TEST(Sha1, KnownVectorsAcrossBlockBoundaries) {
    EXPECT_EQ(hex(sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // 56 bytes: the length no longer fits in the first padding block.
    EXPECT_EQ(hex(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(hex(sha1(std::string(1000000, 'a'))), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Guid, NameBasedVersion5MatchesTheStandard) {
    Guid dns = Guid::parse("{6BA7B810-9DAD-11D1-80B4-00C04FD430C8}");
    EXPECT_EQ(Guid::nameBased(dns, "python.org").toString(), "{886313E1-3B8A-5372-9B90-0C9AEE199E5D}");
    // Our device GUIDs are fixed for ever: settings files store them.
    EXPECT_EQ(Guid::nameBased(Guid::deviceNamespace(), "JACK Audio Connection Kit/system").toString(),
              "{778D16EF-6C8A-560D-B916-DFAA8253AEAC}");
    EXPECT_NE(Guid::nameBased(dns, "a"), Guid::nameBased(dns, "b"));
}

TEST(Guid, TextFormRoundTripsAndAcceptsLowerCase) {
    Guid g = Guid::parse("{0123abcd-4567-89ef-0A1b-c2D3e4F5a6B7}");
    EXPECT_EQ(g.toString(), "{0123ABCD-4567-89EF-0A1B-C2D3E4F5A6B7}");
    EXPECT_EQ(g.toString().size(), 38u);
    EXPECT_EQ(Guid::parse(g.toString()), g);
    EXPECT_EQ(g.bytes()[0], 0x01);
    EXPECT_EQ(g.bytes()[15], 0xB7);
    EXPECT_TRUE(Guid().isNull());
    EXPECT_EQ(Guid().toString(), "{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, InvalidTextIsAnError) {
    for (const char *bad :
         {"", "{}", "0123ABCD-4567-89EF-0A1B-C2D3E4F5A6B7", // no braces
          "{0123ABCD-4567-89EF-0A1B-C2D3E4F5A6B}",          // one digit short
          "{0123ABCD-4567-89EF-0A1B-C2D3E4F5A6B77}",        // one too many
          "{0123ABCG-4567-89EF-0A1B-C2D3E4F5A6B7}",         // not hex
          "{0123ABCD-456789EF-0A1B--C2D3E4F5A6B7}",         // hyphen misplaced
          "(0123ABCD-4567-89EF-0A1B-C2D3E4F5A6B7)", " {0123ABCD-4567-89EF-0A1B-C2D3E4F5A6B7"}) {
        EXPECT_FALSE(Guid::tryParse(bad).has_value()) << bad;
        EXPECT_THROW(Guid::parse(bad), SoundError) << bad;
    }
}

class ProviderTest : public ::testing::Test {
protected:
    void TearDown() override {
        setProviderForTesting(nullptr);
        unsetenv("MIXORA_SOUND");
    }
};

TEST_F(ProviderTest, VirtualDevicesListDefaultFirstThenInOrderWithStableGuids) {
    auto provider = std::make_shared<VirtualProvider>(std::vector<VirtualDevice>{
        {"Karte B", Backend::Manual}, {"Karte A", Backend::Offline}, {"Karte B", Backend::Null}});
    setProviderForTesting(provider);
    auto list = enumerateDevices();
    ASSERT_EQ(list.size(), 4u);
    EXPECT_FALSE(list[0].guid.has_value());
    EXPECT_EQ(list[0].description, kDefaultDeviceDescription);
    EXPECT_EQ(list[1].description, "Karte B");
    EXPECT_EQ(list[2].description, "Karte A");
    ASSERT_TRUE(list[1].guid && list[2].guid);
    EXPECT_NE(*list[1].guid, *list[2].guid);
    EXPECT_EQ(*list[1].guid, Guid::nameBased(Guid::deviceNamespace(), "Virtual/Karte B"));
    EXPECT_EQ(enumerateDevices()[2].guid, list[2].guid); // the same on every enumeration

    auto opened = openDevice(*list[2].guid);
    EXPECT_EQ(opened->backend(), Backend::Offline);
    EXPECT_EQ(provider->opened(1), opened);
    EXPECT_EQ(provider->opened(0), nullptr);
    opened.reset();
    EXPECT_EQ(provider->opened(1), nullptr);
}

TEST_F(ProviderTest, NullEnvironmentGivesTwoNullDevicesWithFixedGuids) {
    setenv("MIXORA_SOUND", "null", 1);
    auto list = enumerateDevices();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].description, "Null-Ausgabe 1");
    EXPECT_EQ(list[2].description, "Null-Ausgabe 2");
    EXPECT_EQ(list[1].guid->toString(), "{8C02E622-5B65-5B13-88BA-8B92AD31D371}");
    auto device = openDevice(*list[2].guid);
    EXPECT_EQ(device->backend(), Backend::Null);
    EXPECT_EQ(device->description(), "Null-Ausgabe 2");
}

TEST_F(ProviderTest, DSBasicObjectReportsMissingAndFailingDevicesReadably) {
    auto provider = std::make_shared<VirtualProvider>(
        std::vector<VirtualDevice>{{"Haupt", Backend::Manual}, {"Kopfhörer", Backend::Manual}});
    setProviderForTesting(provider);
    auto list = enumerateDevices();

    mixora::DSBasicObject aux(*list[1].guid);
    ASSERT_TRUE(aux.device);
    EXPECT_EQ(aux.device->description(), "Haupt");
    EXPECT_EQ(provider->opened(0), aux.device);
    mixora::DSBasicObject byText(list[2].guid->toString());
    EXPECT_EQ(byText.device->description(), "Kopfhörer");

    const std::string unknown = "{01234567-89AB-CDEF-0123-456789ABCDEF}";
    try {
        mixora::DSBasicObject missing(unknown);
        FAIL() << "a GUID of no present device was opened";
    } catch (const SoundError &e) {
        EXPECT_NE(std::string(e.what()).find(unknown), std::string::npos) << e.what();
    }
    EXPECT_THROW(mixora::DSBasicObject("kein GUID"), SoundError);

    provider->setOpenFailure(1, "belegt");
    try {
        mixora::DSBasicObject busy(*list[2].guid);
        FAIL() << "a device that cannot be opened was opened";
    } catch (const SoundError &e) {
        EXPECT_NE(std::string(e.what()).find("belegt"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("Kopfhörer"), std::string::npos) << e.what();
    }
}

TEST_F(ProviderTest, PortAudioEnumerationStartsWithTheDefaultEntryAndIsStable) {
    // Works with or without a sound card: at least the default entry, then GUID-bearing outputs.
    auto first = portAudioProvider()->enumerate();
    auto second = portAudioProvider()->enumerate();
    ASSERT_FALSE(first.empty());
    EXPECT_FALSE(first[0].guid.has_value());
    ASSERT_EQ(first.size(), second.size());
    for (std::size_t i = 1; i < first.size(); ++i) {
        ASSERT_TRUE(first[i].guid.has_value());
        EXPECT_EQ(first[i].guid, second[i].guid);
        EXPECT_EQ(*first[i].guid, Guid::nameBased(Guid::deviceNamespace(), first[i].stableName));
    }
}

} // namespace
