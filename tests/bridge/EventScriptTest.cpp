// The scripts that carry events into the page, run by a real JavaScript engine: every event
// reaches window.$event.dispatch unchanged, once and in order, whatever its text, and a handler
// that throws does not hold back the events after it. No display needed.

#include <gtest/gtest.h>
#include <jsc/jsc.h>

#include "bridge/NativeCall.h"
#include "support/TestServices.h"

using namespace lumetta::bridge;
using lumetta::test::TestHost;

namespace {

// A page of its own: window.$event.dispatch records every event it receives and throws for
// events that start with "throw".
class Page {
  public:
    Page() : context_(jsc_context_new()) {
        run("var window = this; window.got = [];"
            "window.$event = {dispatch: function (e) {"
            "  window.got.push(e); if (e.startsWith('throw')) throw new Error('handler');"
            "}};"
            "var console = {error: function () {}};");
    }
    ~Page() { g_object_unref(context_); }
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    // Runs `script`; fails the test on a syntax or uncaught error.
    void run(const std::string& script) {
        JSCValue* value =
            jsc_context_evaluate(context_, script.data(), static_cast<gssize>(script.size()));
        if (JSCException* e = jsc_context_get_exception(context_)) {
            ADD_FAILURE() << "script failed: " << jsc_exception_get_message(e) << "\n" << script;
            jsc_context_clear_exception(context_);
        }
        if (value) g_object_unref(value);
    }

    std::vector<std::string> received() {
        std::vector<std::string> out;
        JSCValue* got = jsc_context_evaluate(context_, "window.got.length", -1);
        int n = jsc_value_to_int32(got);
        g_object_unref(got);
        for (int i = 0; i < n; ++i) {
            // Hex-encoded UTF-16 units, so no text conversion can hide a difference.
            std::string read = "Array.from(window.got[" + std::to_string(i) +
                               "]).map(c => c.codePointAt(0)).join(',')";
            JSCValue* v = jsc_context_evaluate(context_, read.c_str(), -1);
            char* text = jsc_value_to_string(v);
            out.push_back(decode(text));
            g_free(text);
            g_object_unref(v);
        }
        return out;
    }

  private:
    // Code points joined by commas back to UTF-8.
    static std::string decode(const std::string& points) {
        std::string out;
        size_t pos = 0;
        while (pos < points.size()) {
            size_t comma = points.find(',', pos);
            if (comma == std::string::npos) comma = points.size();
            uint32_t cp = static_cast<uint32_t>(std::stoul(points.substr(pos, comma - pos)));
            if (cp < 0x80) {
                out.push_back(static_cast<char>(cp));
            } else if (cp < 0x800) {
                out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else if (cp < 0x10000) {
                out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            } else {
                out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
                out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
            }
            pos = comma + 1;
        }
        return out;
    }

    JSCContext* context_;
};

std::vector<std::string> deliverThroughPage(const std::vector<std::string>& events) {
    TestHost host;
    NativeCall native{host.services, {}};
    native.setEvent(true);
    host.mainThread.runPending();
    for (auto& e : events) native.postEvent(e);
    host.mainThread.runPending();
    Page page;
    for (auto& script : host.takeScripts()) page.run(script);
    return page.received();
}

const std::vector<std::string> kHostile = {"fs\fopen\f/tmp/it's a \\ file\n.wav",
                                           "x\f');window.got.push('pwned');('",
                                           "x\f\\');window.got.push('pwned');//",
                                           "x\f\u2028\u2029\r\t\v\b",
                                           "x\f\xF0\x9F\x8E\xB9",
                                           "x\f</script><script>",
                                           "x\f\\u0041\\x41\\",
                                           "",
                                           "x\f`${1}`\"\f"};

}  // namespace

TEST(EventScript, SingleEventReachesDispatchUnchanged) {
    for (auto& e : kHostile) EXPECT_EQ(deliverThroughPage({e}), std::vector<std::string>{e});
}

TEST(EventScript, BurstReachesDispatchUnchangedOnceAndInOrder) {
    std::vector<std::string> burst;
    for (int i = 0; i < 300; ++i)
        burst.push_back(kHostile[i % kHostile.size()] + std::to_string(i));
    EXPECT_EQ(deliverThroughPage(burst), burst);
}

TEST(EventScript, ThrowingHandlerDoesNotHoldBackLaterEvents) {
    std::vector<std::string> burst = {"a", "throw 1", "b", "throw 2", "c"};
    EXPECT_EQ(deliverThroughPage(burst), burst);
}
