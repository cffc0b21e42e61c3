#include <gtest/gtest.h>

#include "bridge/NativeCall.h"
#include "modules/security/SecurityModule.h"
#include "net/OpensslTool.h"
#include "net/SecurityCrypto.h"
#include "support/TestServices.h"

namespace lumetta::modules::security {
namespace {

class SecurityModuleTest : public ::testing::Test {
  protected:
    std::string call(const char* name, bridge::Arg a1 = std::nullopt,
                     bridge::Arg a2 = std::nullopt) {
        return native.call(name, a1, a2);
    }
    test::TestHost host;
    bridge::NativeCall native{host.services, {descriptor()}};
};

TEST_F(SecurityModuleTest, Md5OfHexTextIsTheStandardDigest) {
    EXPECT_EQ(call("$$security_md5", "616263"), "s900150983CD24FB0D6963F7D28E17F72");
}

TEST_F(SecurityModuleTest, Md5OfNothingIsEmpty) {
    EXPECT_EQ(call("$$security_md5", ""), "s");
    EXPECT_EQ(call("$$security_md5"), "s");
    test::ScratchDir dir;
    test::writeBytes(dir.file("empty"), {});
    EXPECT_EQ(call("$$security_md5", dir.file("empty")), "s");
    EXPECT_EQ(call("$$security_md5", dir.file("missing")), "s");
}

TEST_F(SecurityModuleTest, Md5OfAPathReadsTheFile) {
    test::ScratchDir dir;
    test::writeBytes(dir.file("abc"), {'a', 'b', 'c'});
    EXPECT_EQ(call("$$security_md5", dir.file("abc")), "s900150983CD24FB0D6963F7D28E17F72");
}

TEST_F(SecurityModuleTest, AesAddsOnePaddingBlock) {
    EXPECT_EQ(call("$$security_aesencrypt", std::string(32, 'A')).size(), 1u + 64u);
    EXPECT_EQ(call("$$security_aesencrypt", "").size(), 1u + 32u);
    EXPECT_EQ(call("$$security_desencrypt", std::string(16, '1')).size(), 1u + 32u);
}

TEST_F(SecurityModuleTest, AesRoundTripsWithTheDefaultPair) {
    std::string data = "00112233445566778899AABBCCDDEEFF0102";
    std::string cipher = call("$$security_aesencrypt", data);
    EXPECT_EQ(call("$$security_aesdecrypt", cipher.substr(1)), "s" + data);
    // The default pair is what an absent key text means.
    EXPECT_EQ(call("$$security_aesencrypt", data, net::defaultKeyIV()), cipher);
}

TEST_F(SecurityModuleTest, DesRepeatsEqualBlocksAndRoundTrips) {
    std::string block = "0123456789ABCDEF";
    std::string cipher = call("$$security_desencrypt", block + block,
                              "00112233445566778899AABBCCDDEEFF0011223344556677");
    ASSERT_EQ(cipher.size(), 1u + 48u);
    EXPECT_EQ(cipher.substr(1, 16), cipher.substr(17, 16));
    EXPECT_EQ(call("$$security_desdecrypt", cipher.substr(1),
                   "00112233445566778899AABBCCDDEEFF0011223344556677/FFFF"),
              "s" + block + block);
}

TEST_F(SecurityModuleTest, DecryptionFailuresAreEmptyStrings) {
    EXPECT_EQ(call("$$security_aesdecrypt", "00112233"), "s") << "not a whole block";
    EXPECT_EQ(call("$$security_aesdecrypt", std::string(32, '0'), "00"), "s") << "bad padding";
    EXPECT_EQ(call("$$security_desdecrypt", "0011"), "s");
    EXPECT_EQ(call("$$security_aesdecrypt"), "s");
    EXPECT_EQ(call("$$security_decipher", "zz-not-hex"), "s");
    EXPECT_EQ(call("$$security_decipher", std::string(64, 'A')), "s");
}

TEST_F(SecurityModuleTest, KeyWithoutSlashUsesAZeroIV) {
    std::string data = "000102030405060708090A0B0C0D0E0F";
    EXPECT_EQ(call("$$security_aesencrypt", data, "2B7E151628AED2A6ABF7158809CF4F3C"),
              call("$$security_aesencrypt", data,
                   "2B7E151628AED2A6ABF7158809CF4F3C/00000000000000000000000000000000"));
    // An eight-byte key is padded with zero bytes.
    EXPECT_EQ(call("$$security_aesencrypt", data, "2B7E151628AED2A6"),
              call("$$security_aesencrypt", data, "2B7E151628AED2A60000000000000000"));
}

TEST_F(SecurityModuleTest, AnEmptyKeyTextIsAllZerosNotTheDefault) {
    std::string data = "00010203";
    std::string empty = call("$$security_aesencrypt", data, "");
    EXPECT_EQ(empty, call("$$security_aesencrypt", data,
                          "00000000000000000000000000000000/00000000000000000000000000000000"));
    EXPECT_NE(empty, call("$$security_aesencrypt", data));
}

TEST_F(SecurityModuleTest, EncipherRoundTripsOnThisMachine) {
    for (std::string text : {"", "hello", "Grüße, 世界 🎹"}) {
        std::string cipher = call("$$security_encipher", text);
        ASSERT_GT(cipher.size(), 1u);
        EXPECT_EQ(call("$$security_decipher", cipher.substr(1)), "s" + text);
    }
}

TEST_F(SecurityModuleTest, KivOfNoInputIsTheDefaultPair) {
    EXPECT_EQ(call("$$security_kiv"), "s" + net::defaultKeyIV());
    EXPECT_EQ(call("$$security_kiv", ""), call("$$security_kiv"));
    EXPECT_EQ(call("$$security_kiv", "0102"), "s" + net::defaultKeyIV({1, 2}));
}

TEST_F(SecurityModuleTest, UuidgenGivesDifferentValues) {
    std::string a = call("$$security_uuidgen");
    std::string b = call("$$security_uuidgen");
    EXPECT_EQ(a.size(), 37u);
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace lumetta::modules::security
