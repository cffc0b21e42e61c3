#include "net/SecurityCrypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "base/raii/UniqueFd.h"
#include "bridge/BridgeText.h"
#include "bridge/Result.h"

namespace lumetta::net {

namespace {

struct CipherContextFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;

struct DigestContextFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

// Keys and IVs are copied into buffers this large, so any key is padded or cut the same way.
constexpr size_t kKeyBufferSize = 64;

std::array<uint8_t, kKeyBufferSize> zeroPadded(const Bytes* bytes) {
    std::array<uint8_t, kKeyBufferSize> buffer{};
    if (bytes && !bytes->empty())
        std::memcpy(buffer.data(), bytes->data(), std::min(bytes->size(), buffer.size()));
    return buffer;
}

// The salts of the default key/IV derivation. Changing a single byte makes everything that
// earlier builds enciphered unreadable, so these are frozen.
constexpr std::string_view kKeySalt = "com.velmar.lumetta/kiv/key/1";
constexpr std::string_view kIVSalt = "com.velmar.lumetta/kiv/iv/1";

Bytes concat(std::initializer_list<std::pair<const uint8_t*, size_t>> parts) {
    Bytes out;
    for (auto [data, size] : parts) out.insert(out.end(), data, data + size);
    return out;
}

const uint8_t* bytesOf(std::string_view text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

std::string trimmed(const std::string& text) {
    const char* space = " \t\r\n\f\v";
    auto first = text.find_first_not_of(space);
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

constexpr const char* kFallbackSerial = "Q4MNRT8XHB2WJ6KD";

}  // namespace

std::optional<Bytes> runCipher(CipherDirection direction, CipherAlgorithm algorithm,
                               const Bytes& input, const Bytes* key, const Bytes* iv) {
    if (input.size() > static_cast<size_t>(INT_MAX) - kKeyBufferSize) return std::nullopt;
    const EVP_CIPHER* cipher =
        algorithm == CipherAlgorithm::Aes128Cbc ? EVP_aes_128_cbc() : EVP_des_ede3_ecb();
    if (!cipher) return std::nullopt;
    auto keyBuffer = zeroPadded(key);
    auto ivBuffer = zeroPadded(iv);
    CipherContext ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    int encrypt = direction == CipherDirection::Encrypt ? 1 : 0;
    const uint8_t* ivUsed = algorithm == CipherAlgorithm::Aes128Cbc ? ivBuffer.data() : nullptr;
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, keyBuffer.data(), ivUsed, encrypt) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 1);
    Bytes output(input.size() + kKeyBufferSize);
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), output.data(), &written, input.data(),
                         static_cast<int>(input.size())) != 1)
        return std::nullopt;
    int last = 0;
    if (EVP_CipherFinal_ex(ctx.get(), output.data() + written, &last) != 1) return std::nullopt;
    output.resize(static_cast<size_t>(written) + static_cast<size_t>(last));
    return output;
}

Bytes md5(const uint8_t* data, size_t size) {
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    if (EVP_Digest(data, size, digest.data(), &length, EVP_md5(), nullptr) != 1) return {};
    digest.resize(length);
    return digest;
}

std::optional<Bytes> md5OfFile(const std::string& path, bool* empty) {
    // O_NONBLOCK so that opening a FIFO without a writer cannot hang us before fstat says no.
    raii::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd) return std::nullopt;
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    DigestContext ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return std::nullopt;
    std::vector<uint8_t> buffer(1 << 16);
    uint64_t total = 0;
    while (true) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        total += static_cast<uint64_t>(n);
        if (EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<size_t>(n)) != 1)
            return std::nullopt;
    }
    Bytes digest(EVP_MAX_MD_SIZE);
    unsigned length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &length) != 1) return std::nullopt;
    digest.resize(length);
    if (empty) *empty = total == 0;
    return digest;
}

std::string uuidString() {
    std::array<uint8_t, 16> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return {};
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    std::string hex = bridge::hexStringFromBytes(bytes.data(), bytes.size());
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
           hex.substr(16, 4) + "-" + hex.substr(20);
}

KeySpec keySpecFromText(std::string_view text) {
    auto parts = bridge::splitFields(text, '/');
    KeySpec spec;
    spec.key = bridge::dataFromHexString(parts[0]);
    if (parts.size() > 1) spec.iv = bridge::dataFromHexString(parts[1]);
    return spec;
}

std::string defaultKeyIV(const Bytes& input) {
    // key = MD5(key salt ‖ input); iv = MD5(IV salt ‖ key ‖ input).
    Bytes key = md5(concat({{bytesOf(kKeySalt), kKeySalt.size()}, {input.data(), input.size()}}));
    Bytes iv = md5(concat({{bytesOf(kIVSalt), kIVSalt.size()},
                           {key.data(), key.size()},
                           {input.data(), input.size()}}));
    return bridge::hexStringFromBytes(key) + "/" + bridge::hexStringFromBytes(iv);
}

std::string computerSerialNumber(const std::vector<std::string>& sources) {
    for (const auto& path : sources) {
        std::ifstream file(path);
        if (!file) continue;
        std::ostringstream text;
        text << file.rdbuf();
        std::string serial = trimmed(text.str());
        if (!serial.empty()) return serial;
    }
    return kFallbackSerial;
}

std::vector<std::string> defaultSerialSources() {
    return {"/sys/class/dmi/id/product_serial", "/etc/machine-id"};
}

Bytes machineKey(std::string_view serial, unsigned uid) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%X", uid);
    return md5(std::string(serial) + suffix);
}

Bytes currentMachineKey() {
    return machineKey(computerSerialNumber(defaultSerialSources()), getuid());
}

std::optional<Bytes> encipher(std::string_view text, const Bytes& machine) {
    Bytes plain(text.begin(), text.end());
    Bytes zeroIV;
    auto stage1 =
        runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, plain, &machine, &zeroIV);
    if (!stage1) return std::nullopt;
    KeySpec pair = keySpecFromText(defaultKeyIV());
    return runCipher(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc, *stage1, &pair.key,
                     &pair.iv);
}

std::optional<std::string> decipher(const Bytes& data, const Bytes& machine) {
    KeySpec pair = keySpecFromText(defaultKeyIV());
    auto stage2 =
        runCipher(CipherDirection::Decrypt, CipherAlgorithm::Aes128Cbc, data, &pair.key, &pair.iv);
    if (!stage2) return std::nullopt;
    Bytes zeroIV;
    auto stage1 =
        runCipher(CipherDirection::Decrypt, CipherAlgorithm::Aes128Cbc, *stage2, &machine, &zeroIV);
    if (!stage1) return std::nullopt;
    std::string text(stage1->begin(), stage1->end());
    if (!bridge::isValidUtf8(text)) return std::nullopt;
    return text;
}

}  // namespace lumetta::net
