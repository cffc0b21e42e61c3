#pragma once

// The security module's cryptography on OpenSSL 3 libcrypto: the cipher primitive, MD5,
// random UUIDs, the machine key and the default key/IV derivation. No GLib, no bridge: the
// module turns these values into results.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumetta::net {

using Bytes = std::vector<uint8_t>;

enum class CipherDirection { Encrypt, Decrypt };

/// AES-128-CBC (16-byte key, 16-byte IV) or triple DES EDE in ECB mode (24-byte key, no IV).
enum class CipherAlgorithm { Aes128Cbc, TripleDesEcb };

/// Runs one cipher with PKCS#7 padding. The key and IV are zero-padded (or cut) to what the
/// algorithm reads; absent means all zeros. nullopt when the cipher reports any error, such as
/// a decryption input that is not a whole number of blocks or bad padding. Any thread.
std::optional<Bytes> runCipher(CipherDirection direction, CipherAlgorithm algorithm,
                               const Bytes& input, const Bytes* key, const Bytes* iv);

/// The MD5 digest of `data` (16 bytes). Any thread.
Bytes md5(const uint8_t* data, size_t size);
inline Bytes md5(const Bytes& data) {
    return md5(data.data(), data.size());
}
inline Bytes md5(std::string_view text) {
    return md5(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

/// The MD5 digest of a regular file's whole content, read in pieces; nullopt when the path is
/// not a readable regular file (FIFOs and devices are refused). `empty` tells an empty file.
std::optional<Bytes> md5OfFile(const std::string& path, bool* empty = nullptr);

/// A new random UUID in upper-case 8-4-4-4-12 form (version 4). Any thread.
std::string uuidString();

/// A key and IV as the page writes them: hex key, "/", hex IV; no "/" means a zero IV.
struct KeySpec {
    Bytes key;
    Bytes iv;
};
KeySpec keySpecFromText(std::string_view text);

/// The default key/IV pair for `input` as "KEYHEX/IVHEX" (two 32-digit upper-case hex texts).
/// Fixed for all releases: data enciphered by one build is deciphered by the next. An empty
/// input gives the same pair as none.
std::string defaultKeyIV(const Bytes& input = {});

/// The text that identifies this computer: the first readable, non-blank file of `sources`
/// (surrounding white space trimmed), else the fixed fallback "Q4MNRT8XHB2WJ6KD".
std::string computerSerialNumber(const std::vector<std::string>& sources);

/// The serial number sources on Linux: the DMI product serial, then the machine id.
std::vector<std::string> defaultSerialSources();

/// The machine key: MD5 of the serial text followed by `uid` in upper-case hex ("%X").
Bytes machineKey(std::string_view serial, unsigned uid);

/// The machine key of this computer and the running user. Any thread.
Bytes currentMachineKey();

/// Machine-bound encryption of UTF-8 text: AES with the machine key and a zero IV, then AES
/// with the default pair. nullopt on failure.
std::optional<Bytes> encipher(std::string_view text, const Bytes& machine);

/// The inverse of `encipher`; nullopt on failure or when the result is not UTF-8.
std::optional<std::string> decipher(const Bytes& data, const Bytes& machine);

}  // namespace lumetta::net
