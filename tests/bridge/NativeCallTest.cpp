#include <gtest/gtest.h>

#include "bridge/BridgeError.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "support/TestServices.h"

using namespace lumetta::bridge;
using lumetta::test::dispatchedEvents;
using lumetta::test::TestHost;

namespace {

struct Recorded {
    std::string function;
    Arg arg1, arg2;
};

// A module that echoes its arguments and fails on request.
class EchoModule final : public Module {
  public:
    explicit EchoModule(ModuleContext& ctx, std::vector<std::string>* log) : log_(log) {
        ctx.functions.add("$$test_echo::", [this](const Arg& a, const Arg& b) {
            last = {"echo", a, b};
            return resultString((a ? "[" + *a + "]" : "null") + "," +
                                (b ? "[" + *b + "]" : "null"));
        });
        ctx.functions.add("$$test_fail::", [](const Arg& a, const Arg&) -> std::string {
            if (a == "std") throw std::out_of_range("index out of range");
            if (a == "other") throw 42;
            throw BridgeError("refused");
        });
    }
    ~EchoModule() override {
        if (log_) log_->push_back("echo down");
    }
    void didCreateAll() override { createdAll = true; }
    Recorded last;
    bool createdAll = false;

  private:
    std::vector<std::string>* log_;
};

class Marker final : public Module {
  public:
    Marker(std::string name, std::vector<std::string>* log) : name_(std::move(name)), log_(log) {}
    ~Marker() override { log_->push_back(name_); }

  private:
    std::string name_;
    std::vector<std::string>* log_;
};

std::vector<ModuleDescriptor> echoModules(std::vector<std::string>* log = nullptr) {
    return {{"test", 100,
             [log](ModuleContext& ctx) { return std::make_unique<EchoModule>(ctx, log); }}};
}

class NativeCallTest : public ::testing::Test {
  protected:
    TestHost host;
    NativeCall native{host.services, echoModules()};
    EchoModule& echo = *native.module<EchoModule>();
};

}  // namespace

TEST_F(NativeCallTest, UnknownOrEmptyFunctionIsVoid) {
    EXPECT_EQ(native.call("$$nothing_here", "a", "b"), "v");
    EXPECT_EQ(native.dispatch2(""), "v");
    EXPECT_EQ(native.dispatch2("\fx\fy"), "v");
    EXPECT_EQ(native.dispatchHeaders(std::nullopt, "a", "b"), "v");
    EXPECT_EQ(native.call("$$test_echo::", "a", "b"), "v")
        << "names already ending in :: are not callable";
    EXPECT_TRUE(echo.createdAll);
}

TEST_F(NativeCallTest, ExceptionsBecomeErrorResults) {
    EXPECT_EQ(native.call("$$test_fail", "bridge", std::nullopt), "erefused");
    EXPECT_EQ(native.call("$$test_fail", "std", std::nullopt), "eindex out of range");
    EXPECT_EQ(native.call("$$test_fail", "other", std::nullopt), "eunknown error");
    EXPECT_EQ(native.queue().size(), 0u);
}

TEST_F(NativeCallTest, PromptFormatDecodesArguments) {
    EXPECT_EQ(native.dispatch2("$$test_echo"), "snull,null");
    EXPECT_EQ(native.dispatch2("$$test_echo\fa%20b"), "s[a b],null");
    EXPECT_EQ(native.dispatch2("$$test_echo\f\f%C3%A9\fignored"), "s[],[\xC3\xA9]");
    EXPECT_EQ(native.dispatch2("$$test_echo\f%zz\fok"), "snull,[ok]") << "malformed is null";
}

TEST_F(NativeCallTest, HeaderFormatDecodesOnlyArguments) {
    EXPECT_EQ(native.dispatchHeaders("$$test_echo", "%2Ftmp", std::nullopt), "s[/tmp],null");
    EXPECT_EQ(native.dispatchHeaders("$$test%5Fecho", "x", "y"), "v");
}

TEST_F(NativeCallTest, Lumetta2RunsCallbackWithEscapedResult) {
    native.didReceiveScriptMessage("lumetta2", "$$test_echo\tonDone\fit's\fa\nb");
    auto scripts = host.takeScripts();
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0], "window['onDone']('s[it\\'s],[a\\nb]')");
    EXPECT_EQ(echo.last.arg1, "it's") << "arguments are not percent-decoded on message channels";
}

TEST_F(NativeCallTest, Lumetta1SetsPageVariableBeforeCallback) {
    std::string body = "$$test_echo\tcb\f%41";
    native.didReceiveScriptMessage("lumetta1", body);
    auto scripts = host.takeScripts();
    ASSERT_EQ(scripts.size(), 2u);
    EXPECT_EQ(scripts[0], "window['$$test_echo\\tcb\\f%41']='s[%41],null'");
    EXPECT_EQ(scripts[1], "window['cb']('s[%41],null')");
}

TEST_F(NativeCallTest, MessageWithoutCallbackAndPromptMessageEvaluateNothing) {
    native.didReceiveScriptMessage("lumetta2", "$$test_echo\fa");
    native.didReceiveScriptMessage("prompt", "$$test_echo\fa%20b");
    EXPECT_TRUE(host.takeScripts().empty());
    EXPECT_EQ(echo.last.arg1, "a b");
    native.didReceiveScriptMessage("lumetta1", "$$test_echo");
    EXPECT_EQ(host.takeScripts().size(), 1u) << "lumetta1 always assigns its page variable";
}

TEST_F(NativeCallTest, HostileCallbackNameCannotBreakOut) {
    native.didReceiveScriptMessage("lumetta2", "$$test_echo\tx']=1;evil('\fa");
    auto scripts = host.takeScripts();
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0].find("x']"), std::string::npos);
}

TEST_F(NativeCallTest, EventsWaitUntilDeliveryIsOn) {
    native.postEvent("a\fone");
    native.postEvent("a\ftwo");
    EXPECT_EQ(host.mainThread.pending(), 0u) << "no drain while delivery is off";
    native.setEvent(true);
    host.mainThread.runPending();
    EXPECT_EQ(dispatchedEvents(host.takeScripts()), (std::vector<std::string>{"a\fone", "a\ftwo"}));
}

TEST_F(NativeCallTest, OneDrainScheduledForABurst) {
    native.setEvent(true);
    host.mainThread.runPending();
    for (int i = 0; i < 100; ++i) native.postEvent("e\f" + std::to_string(i));
    EXPECT_EQ(host.mainThread.pending(), 1u);
    host.mainThread.runPending();
    auto events = dispatchedEvents(host.takeScripts());
    ASSERT_EQ(events.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(events[i], "e\f" + std::to_string(i));
}

TEST_F(NativeCallTest, SwitchingOffMidwayLosesAndRepeatsNothing) {
    native.setEvent(true);
    host.mainThread.runPending();
    native.postEvent("1");
    native.queue().stopDelivery();  // a new document starts loading before the drain runs
    native.postEvent("2");
    host.mainThread.runPending();
    EXPECT_TRUE(host.takeScripts().empty());
    native.postEvent("3");
    native.setEvent(true);
    native.setEvent(true);
    host.mainThread.runPending();
    EXPECT_EQ(dispatchedEvents(host.takeScripts()), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(NativeCallTest, HostileEventsReachDispatchUnchanged) {
    native.setEvent(true);
    std::vector<std::string> sent = {"fs\fopen\f/tmp/it's a \\ file\n.wav",
                                     "x\f');window.pwned=1;('", "x\f\\');pwned();//",
                                     "x\f\u2028\u2029\r"};
    for (auto& e : sent) native.postEvent(e);
    host.mainThread.runPending();
    EXPECT_EQ(dispatchedEvents(host.takeScripts()), sent);
}

TEST_F(NativeCallTest, ClipboardAndDropfilesProperties) {
    EXPECT_FALSE(native.clipboard());
    native.setClipboard("x");
    EXPECT_EQ(native.clipboard(), "x");
    native.setDropfiles({"/a", "/b"});
    EXPECT_EQ(native.dropfiles().size(), 2u);
}

TEST(NativeCallLifecycle, CurrentBridgeAndTeardownOrder) {
    TestHost host;
    std::vector<std::string> log;
    std::vector<ModuleDescriptor> modules = {
        {"midi", 56, [&](ModuleContext&) { return std::make_unique<Marker>("midi", &log); }},
        {"audio", 55, [&](ModuleContext&) { return std::make_unique<Marker>("audio", &log); }},
        {"fs", 100, [&](ModuleContext&) { return std::make_unique<Marker>("fs", &log); }},
        {"ble", 10, [&](ModuleContext&) { return std::make_unique<Marker>("ble", &log); }},
        {"sh", 100, [&](ModuleContext&) { return std::make_unique<Marker>("sh", &log); }},
    };
    {
        NativeCall first(host.services, {});
        EXPECT_EQ(NativeCall::current(), &first);
        {
            NativeCall second(host.services, modules);
            EXPECT_EQ(NativeCall::current(), &second);
        }
        EXPECT_EQ(NativeCall::current(), nullptr);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"ble", "audio", "midi", "sh", "fs"}));
}

TEST(NativeCallLifecycle, DrainScheduledBeforeDestructionDoesNothing) {
    TestHost host;
    {
        NativeCall native(host.services, {});
        native.setEvent(true);
        native.postEvent("late");
    }
    host.mainThread.runPending();
    EXPECT_TRUE(host.takeScripts().empty());
}

TEST(NativeCallLifecycle, ResultPostsRecognizerEventToEveryPage) {
    TestHost host;
    NativeCall native(host.services, {});
    std::vector<std::string> events;
    auto token =
        host.center.observe(note::postEvent, [&](const std::string& event, NativeCall* to) {
            EXPECT_EQ(to, nullptr);
            events.push_back(event);
        });
    EXPECT_EQ(native.call("result", "partial", "hello"), "v");
    EXPECT_EQ(events, (std::vector<std::string>{"recognizer\fpartial\fhello"}));
}
