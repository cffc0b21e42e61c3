// The network modules' readers of page and peer text: BLE UUIDs and peripheral identifiers,
// key/IV texts, and deciphering arbitrary bytes (padding and UTF-8 checks on data the page
// hands back).

#include <string>

#include "FuzzInput.h"
#include "bridge/BridgeText.h"
#include "net/BLEText.h"
#include "net/SecurityCrypto.h"

using namespace lumetta::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lumetta::fuzz::FuzzInput input(data, size);
    const uint8_t mode = input.byte();
    std::string_view text = input.rest();
    switch (mode % 4) {
        case 0:
            // Each accepted form maps to one event form, which maps to itself.
            if (auto uuid = bleUUIDString(text)) {
                FUZZ_CHECK(uuid->size() == 4 || uuid->size() == 36);
                FUZZ_CHECK(bleUUIDString(*uuid) == uuid);
            }
            break;
        case 1:
            if (auto id = peripheralIdentifierString(text)) {
                FUZZ_CHECK(id->size() == 36);
                FUZZ_CHECK(peripheralIdentifierString(*id) == id);
            }
            break;
        case 2: {
            KeySpec spec = keySpecFromText(text);
            FUZZ_CHECK(spec.key.size() <= text.size() && spec.iv.size() <= text.size());
            Bytes bytes(text.begin(), text.end());
            for (auto algorithm : {CipherAlgorithm::Aes128Cbc, CipherAlgorithm::TripleDesEcb}) {
                auto plain =
                    runCipher(CipherDirection::Decrypt, algorithm, bytes, &spec.key, &spec.iv);
                if (plain) FUZZ_CHECK(plain->size() < bytes.size());
                // What was enciphered deciphers to itself.
                auto sealed =
                    runCipher(CipherDirection::Encrypt, algorithm, bytes, &spec.key, &spec.iv);
                FUZZ_CHECK(sealed.has_value());
                auto opened =
                    runCipher(CipherDirection::Decrypt, algorithm, *sealed, &spec.key, &spec.iv);
                FUZZ_CHECK(opened == bytes);
            }
            break;
        }
        default: {
            static const Bytes machine = machineKey("FUZZSERIAL", 1000);
            Bytes bytes(text.begin(), text.end());
            decipher(bytes, machine);
            if (auto sealed = encipher(text, machine);
                sealed && lumetta::bridge::isValidUtf8(text)) {
                auto opened = decipher(*sealed, machine);
                FUZZ_CHECK(opened.has_value() && *opened == text);
            }
            break;
        }
    }
    return 0;
}
