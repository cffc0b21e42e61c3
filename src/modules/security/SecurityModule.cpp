#include "modules/security/SecurityModule.h"

#include "bridge/Result.h"
#include "net/SecurityCrypto.h"

namespace lumetta::modules::security {

using bridge::Arg;
using net::Bytes;
using net::CipherAlgorithm;
using net::CipherDirection;

namespace {

std::string hexResult(const std::optional<Bytes>& bytes) {
    return bridge::resultString(bytes ? bridge::hexStringFromBytes(*bytes) : std::string());
}

// The AES and triple-DES functions: hex input, the page's key text or the default
// pair, hex output.
bridge::BridgeFunction cipherFunction(CipherDirection direction, CipherAlgorithm algorithm) {
    return [direction, algorithm](const Arg& hex, const Arg& keySpec) {
        Bytes input = bridge::dataFromHexString(hex.value_or(""));
        net::KeySpec spec = net::keySpecFromText(keySpec ? *keySpec : net::defaultKeyIV());
        return hexResult(net::runCipher(direction, algorithm, input, &spec.key, &spec.iv));
    };
}

std::string md5Result(const Arg& argument) {
    const std::string& text = argument ? *argument : std::string();
    if (text.find('/') != std::string::npos) {
        bool empty = false;
        auto digest = net::md5OfFile(text, &empty);
        return hexResult(digest && !empty ? digest : std::nullopt);
    }
    Bytes data = bridge::dataFromHexString(text);
    if (data.empty()) return bridge::resultString("");
    return hexResult(net::md5(data));
}

}  // namespace

bridge::ModuleDescriptor descriptor() {
    return {"security", 100, [](bridge::ModuleContext& ctx) {
                auto& f = ctx.functions;
                f.add("$$security_kiv::", [](const Arg& hex, const Arg&) {
                    return bridge::resultString(
                        net::defaultKeyIV(bridge::dataFromHexString(hex.value_or(""))));
                });
                f.add("$$security_uuidgen::", [](const Arg&, const Arg&) {
                    return bridge::resultString(net::uuidString());
                });
                f.add("$$security_md5::",
                      [](const Arg& argument, const Arg&) { return md5Result(argument); });
                f.add("$$security_encipher::", [](const Arg& text, const Arg&) {
                    return hexResult(net::encipher(text.value_or(""), net::currentMachineKey()));
                });
                f.add("$$security_decipher::", [](const Arg& hex, const Arg&) {
                    auto text = net::decipher(bridge::dataFromHexString(hex.value_or("")),
                                              net::currentMachineKey());
                    return bridge::resultString(text ? *text : std::string());
                });
                f.add("$$security_aesencrypt::",
                      cipherFunction(CipherDirection::Encrypt, CipherAlgorithm::Aes128Cbc));
                f.add("$$security_aesdecrypt::",
                      cipherFunction(CipherDirection::Decrypt, CipherAlgorithm::Aes128Cbc));
                f.add("$$security_desencrypt::",
                      cipherFunction(CipherDirection::Encrypt, CipherAlgorithm::TripleDesEcb));
                f.add("$$security_desdecrypt::",
                      cipherFunction(CipherDirection::Decrypt, CipherAlgorithm::TripleDesEcb));
                return std::make_unique<bridge::Module>();
            }};
}

}  // namespace lumetta::modules::security
