// The loopback server's request handling on arbitrary bytes from a connection: the decision
// never depends on how the bytes arrived, a call runs only with the token and a loopback Host,
// and the arguments reach the bridge through the same decoding as in the server.

#include <string>

#include "FuzzInput.h"
#include "bridge/BridgeText.h"
#include "host/XhrServer.h"

using lumetta::host::XhrStep;

namespace {

constexpr std::string_view kToken = "00112233445566778899AABBCCDDEEFF";
constexpr unsigned kPort = 4321;
constexpr size_t kMaxHeader = 512;  // small, so the fuzzer reaches the limit

bool same(const XhrStep& a, const XhrStep& b) {
    return a.kind == b.kind && a.request.status == b.request.status &&
           a.request.method == b.request.method && a.request.arg1 == b.request.arg1 &&
           a.request.arg2 == b.request.arg2 && a.request.origin == b.request.origin;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lumetta::fuzz::FuzzInput input(data, size);
    const uint8_t cutSeed = input.byte();
    std::string_view received = input.rest();

    XhrStep whole = lumetta::host::xhrStep(received, kToken, kPort, kMaxHeader);

    // As the server reads: the first decision taken on a prefix is never revised by more bytes.
    uint32_t state = cutSeed | 0x100u;
    for (size_t at = 0; at < received.size();) {
        state = state * 1103515245u + 12345u;
        at += 1 + (state >> 16) % 64;
        if (at > received.size()) at = received.size();
        XhrStep step = lumetta::host::xhrStep(received.substr(0, at), kToken, kPort, kMaxHeader);
        if (step.kind == XhrStep::Wait) {
            FUZZ_CHECK(at <= kMaxHeader);
            continue;
        }
        FUZZ_CHECK(same(step, whole));
        break;
    }

    switch (whole.kind) {
        case XhrStep::Wait:
            FUZZ_CHECK(received.size() <= kMaxHeader);
            break;
        case XhrStep::Close:
            break;
        case XhrStep::Refuse:
            FUZZ_CHECK(whole.request.status == 403);
            FUZZ_CHECK(!lumetta::host::xhrRefusal(whole.request.status).empty());
            break;
        case XhrStep::Call: {
            FUZZ_CHECK(whole.request.status == 0);
            FUZZ_CHECK(received.find("/" + std::string(kToken) + "/") != std::string_view::npos);
            FUZZ_CHECK(whole.request.method.has_value());
            FUZZ_CHECK(whole.request.method->find('/') == std::string::npos);
            // What the bridge then does with the still-encoded arguments.
            for (const auto& arg : {whole.request.arg1, whole.request.arg2}) {
                if (!arg) continue;
                FUZZ_CHECK(arg->find(',') == std::string::npos);
                if (auto decoded = lumetta::bridge::percentDecode(*arg))
                    FUZZ_CHECK(lumetta::bridge::isValidUtf8(*decoded));
            }
            std::string answer = lumetta::host::xhrResponse(*whole.request.method);
            FUZZ_CHECK(answer.size() >= whole.request.method->size());
            break;
        }
    }
    return 0;
}
