#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge/Result.h"
#include "net/OpensslTool.h"
#include "net/SecurityCrypto.h"

namespace lumetta::net {
namespace {

using bridge::dataFromHexString;
using bridge::hexStringFromBytes;
using test::openssl;

Bytes pattern(size_t size, uint8_t seed = 7) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 31);
    return out;
}

std::string hex(const Bytes& bytes) {
    return hexStringFromBytes(bytes);
}

class SecurityCryptoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::opensslAvailable()) GTEST_SKIP() << "the openssl tool is not installed";
    }
};

TEST_F(SecurityCryptoTest, AesEncryptionMatchesOpensslForEveryLength) {
    Bytes key = dataFromHexString("000102030405060708090A0B0C0D0E0F");
    Bytes iv = dataFromHexString("F0E0D0C0B0A090807060504030201000");
    for (size_t size : {0u, 1u, 15u, 16u, 17u, 100u, 4096u}) {
        Bytes plain = pattern(size);
        auto ours =
            runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, plain, &key, &iv);
        auto theirs = openssl("enc -aes-128-cbc -K " + hex(key) + " -iv " + hex(iv), plain);
        ASSERT_TRUE(ours && theirs) << size;
        EXPECT_EQ(hex(*ours), hex(*theirs)) << "input of " << size << " bytes";
        EXPECT_EQ(ours->size(), (size / 16 + 1) * 16) << "PKCS#7 adds up to one block";
        auto back =
            runCipher(CipherDirection::Decrypt, CipherAlgorithm::Aes128Cbc, *theirs, &key, &iv);
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, plain);
    }
}

TEST_F(SecurityCryptoTest, AShortKeyIsPaddedWithZerosAndALongOneIsCut) {
    Bytes plain = pattern(40);
    Bytes shortKey = dataFromHexString("1122334455667788");
    auto ours =
        runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, plain, &shortKey, nullptr);
    auto theirs = openssl(
        "enc -aes-128-cbc -K 11223344556677880000000000000000 -iv 00000000000000000000000000000000",
        plain);
    ASSERT_TRUE(ours && theirs);
    EXPECT_EQ(hex(*ours), hex(*theirs));

    Bytes longKey = pattern(40, 3);
    auto cut =
        runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, plain, &longKey, nullptr);
    Bytes first16(longKey.begin(), longKey.begin() + 16);
    auto expected = openssl(
        "enc -aes-128-cbc -K " + hex(first16) + " -iv 00000000000000000000000000000000", plain);
    ASSERT_TRUE(cut && expected);
    EXPECT_EQ(hex(*cut), hex(*expected));
}

TEST_F(SecurityCryptoTest, TripleDesEcbMatchesOpensslRepeatsEqualBlocksAndIgnoresTheIV) {
    Bytes key = pattern(24, 11);
    Bytes block = pattern(8, 5);
    Bytes plain = block;
    plain.insert(plain.end(), block.begin(), block.end());
    auto ours =
        runCipher(CipherDirection::Encrypt, CipherAlgorithm::TripleDesEcb, plain, &key, nullptr);
    auto theirs = openssl("enc -des-ede3 -K " + hex(key), plain);
    ASSERT_TRUE(ours && theirs);
    EXPECT_EQ(hex(*ours), hex(*theirs));
    ASSERT_EQ(ours->size(), 24u);
    EXPECT_TRUE(std::equal(ours->begin(), ours->begin() + 8, ours->begin() + 8)) << "ECB";
    Bytes iv = pattern(8, 99);
    EXPECT_EQ(runCipher(CipherDirection::Encrypt, CipherAlgorithm::TripleDesEcb, plain, &key, &iv),
              ours);
    auto back =
        runCipher(CipherDirection::Decrypt, CipherAlgorithm::TripleDesEcb, *ours, &key, nullptr);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, plain);
}

TEST_F(SecurityCryptoTest, DecryptionOfAPartialBlockFails) {
    Bytes key = pattern(16);
    for (size_t size : {0u, 1u, 15u, 17u, 33u})
        EXPECT_FALSE(runCipher(CipherDirection::Decrypt, CipherAlgorithm::Aes128Cbc, pattern(size),
                               &key, nullptr))
            << size;
    EXPECT_FALSE(runCipher(CipherDirection::Decrypt, CipherAlgorithm::TripleDesEcb, pattern(12),
                           &key, nullptr));
}

TEST_F(SecurityCryptoTest, DecryptionWithBadPaddingFails) {
    Bytes key = pattern(16);
    // A block whose last byte, 0x11, is no valid PKCS#7 padding length for 16-byte blocks.
    Bytes block(16, 0x11);
    auto raw = openssl(
        "enc -aes-128-cbc -nopad -K " + hex(key) + " -iv 00000000000000000000000000000000", block);
    ASSERT_TRUE(raw);
    ASSERT_EQ(raw->size(), 16u);
    EXPECT_FALSE(
        runCipher(CipherDirection::Decrypt, CipherAlgorithm::Aes128Cbc, *raw, &key, nullptr));
}

TEST_F(SecurityCryptoTest, Md5MatchesOpenssl) {
    for (size_t size : {1u, 3u, 64u, 1000u}) {
        Bytes data = pattern(size);
        auto theirs = openssl("dgst -md5 -binary", data);
        ASSERT_TRUE(theirs);
        EXPECT_EQ(hex(md5(data)), hex(*theirs)) << size;
    }
    EXPECT_EQ(hex(md5(std::string_view("abc"))), "900150983CD24FB0D6963F7D28E17F72");
}

TEST_F(SecurityCryptoTest, FileMd5ReadsTheWholeFile) {
    test::ScratchDir dir;
    Bytes data = pattern(300000);
    test::writeBytes(dir.file("data"), data);
    bool empty = true;
    auto digest = md5OfFile(dir.file("data"), &empty);
    ASSERT_TRUE(digest);
    EXPECT_FALSE(empty);
    EXPECT_EQ(hex(*digest), hex(*openssl("dgst -md5 -binary", data)));

    test::writeBytes(dir.file("empty"), {});
    ASSERT_TRUE(md5OfFile(dir.file("empty"), &empty));
    EXPECT_TRUE(empty);
}

TEST_F(SecurityCryptoTest, FileMd5RefusesMissingFilesDirectoriesAndFifos) {
    test::ScratchDir dir;
    EXPECT_FALSE(md5OfFile(dir.file("missing")));
    EXPECT_FALSE(md5OfFile(dir.path().string()));
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(md5OfFile(dir.file("fifo"))) << "a FIFO without a writer must not hang or pass";
    EXPECT_FALSE(md5OfFile("/dev/zero")) << "a device never ends";
}

// The default pair is frozen: enciphered data from every earlier build depends on it.
TEST_F(SecurityCryptoTest, DefaultKeyIVIsPinned) {
    EXPECT_EQ(defaultKeyIV(), "A224B7DDFA58AD47D03FBF0254244F70/7410C3E1E5AC46F7E583FBC5636F1225");
}

// Two inputs, so the pair also depends on its input.
TEST_F(SecurityCryptoTest, DefaultKeyIVFollowsItsDerivation) {
    for (const Bytes& input : {Bytes{}, dataFromHexString("00FF10")}) {
        std::string salt = "com.velmar.lumetta/kiv/key/1";
        Bytes keyInput(salt.begin(), salt.end());
        keyInput.insert(keyInput.end(), input.begin(), input.end());
        auto key = openssl("dgst -md5 -binary", keyInput);
        ASSERT_TRUE(key);
        std::string ivSalt = "com.velmar.lumetta/kiv/iv/1";
        Bytes ivInput(ivSalt.begin(), ivSalt.end());
        ivInput.insert(ivInput.end(), key->begin(), key->end());
        ivInput.insert(ivInput.end(), input.begin(), input.end());
        auto iv = openssl("dgst -md5 -binary", ivInput);
        ASSERT_TRUE(iv);
        EXPECT_EQ(defaultKeyIV(input), hex(*key) + "/" + hex(*iv));
    }
}

TEST_F(SecurityCryptoTest, KeyTextSplitsKeyAndIV) {
    auto both = keySpecFromText("0102/0304/0506");
    EXPECT_EQ(hex(both.key), "0102");
    EXPECT_EQ(hex(both.iv), "0304");
    auto keyOnly = keySpecFromText("AABB");
    EXPECT_EQ(hex(keyOnly.key), "AABB");
    EXPECT_TRUE(keyOnly.iv.empty());
    auto bad = keySpecFromText("zz1");
    EXPECT_EQ(hex(bad.key), "00") << "bad digits count as 0, an unpaired one is dropped";
}

TEST_F(SecurityCryptoTest, MachineKeyIsTheDigestOfSerialAndHexUserId) {
    auto expected = openssl("dgst -md5 -binary", Bytes{'A', 'B', 'C', '1', 'F', '5'});
    ASSERT_TRUE(expected);
    EXPECT_EQ(hex(machineKey("ABC", 501)), hex(*expected));
}

TEST_F(SecurityCryptoTest, SerialNumberComesFromTheFirstReadableNonBlankSource) {
    test::ScratchDir dir;
    test::writeBytes(dir.file("blank"), {' ', '\n'});
    std::string serial = " SN-42\n";
    test::writeBytes(dir.file("serial"), Bytes(serial.begin(), serial.end()));
    EXPECT_EQ(computerSerialNumber({dir.file("missing"), dir.file("blank"), dir.file("serial")}),
              "SN-42");
    EXPECT_EQ(computerSerialNumber({dir.file("missing"), dir.file("blank")}), "Q4MNRT8XHB2WJ6KD");
}

TEST_F(SecurityCryptoTest, UuidsAreRandomVersion4InUpperCase) {
    std::string a = uuidString();
    std::string b = uuidString();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    for (size_t dash : {8u, 13u, 18u, 23u}) EXPECT_EQ(a[dash], '-');
    EXPECT_EQ(a[14], '4');
    EXPECT_NE(std::string("89AB").find(a[19]), std::string::npos);
    for (char c : a) EXPECT_TRUE(c == '-' || std::isdigit(c) || (c >= 'A' && c <= 'F')) << a;
}

TEST_F(SecurityCryptoTest, EncipherIsTwoAesStagesWithMachineKeyThenDefaultPair) {
    Bytes machine = machineKey("SERIAL", 1000);
    std::string text = "grüße";
    auto ours = encipher(text, machine);
    ASSERT_TRUE(ours);
    auto stage1 =
        openssl("enc -aes-128-cbc -K " + hex(machine) + " -iv 00000000000000000000000000000000",
                Bytes(text.begin(), text.end()));
    ASSERT_TRUE(stage1);
    std::string pair = defaultKeyIV();
    auto stage2 =
        openssl("enc -aes-128-cbc -K " + pair.substr(0, 32) + " -iv " + pair.substr(33), *stage1);
    ASSERT_TRUE(stage2);
    EXPECT_EQ(hex(*ours), hex(*stage2));
    EXPECT_EQ(decipher(*ours, machine), text);
}

TEST_F(SecurityCryptoTest, DecipherOnAnotherMachineOrAccountFails) {
    auto data = encipher("secret text", machineKey("SERIAL", 1000));
    ASSERT_TRUE(data);
    auto other = decipher(*data, machineKey("SERIAL", 1001));
    EXPECT_NE(other, std::optional<std::string>("secret text"));
}

TEST_F(SecurityCryptoTest, DecipherRefusesBytesThatAreNotUtf8) {
    Bytes machine = machineKey("SERIAL", 1000);
    Bytes zeroIV;
    Bytes notText = {0xC3, 0x28, 0xFF};
    auto stage1 =
        runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, notText, &machine, &zeroIV);
    KeySpec pair = keySpecFromText(defaultKeyIV());
    auto stage2 = runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, *stage1,
                            &pair.key, &pair.iv);
    ASSERT_TRUE(stage2);
    EXPECT_FALSE(decipher(*stage2, machine));
}

}  // namespace
}  // namespace lumetta::net
