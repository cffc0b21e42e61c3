// The dlk bridge functions and events, with the simulator as the device on 127.0.0.1.

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "base/raii/GSourceId.h"
#include "bridge/NativeCall.h"
#include "bridge/Result.h"
#include "link/DevsimProcess.h"
#include "modules/dlk/DlkModule.h"
#include "support/TestServices.h"

using namespace lumetta::test;
using lumetta::bridge::NativeCall;
using std::nullopt;

namespace {

// The main thread as the application has it: tasks run from the GLib main loop, in order.
class GlibLoopThread final : public lumetta::bridge::MainThread {
  public:
    void post(std::function<void()> task) override {
        std::lock_guard guard(lock_);
        tasks_.push_back(std::move(task));
        // One idle source drains the queue; the lock, not GLib's, orders the hand-over.
        if (!idle_) idle_ = lumetta::raii::GSourceId(g_idle_add(&GlibLoopThread::drain, this));
    }
    bool isCurrent() const override { return std::this_thread::get_id() == owner_; }

  private:
    static gboolean drain(gpointer self) {
        auto* me = static_cast<GlibLoopThread*>(self);
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard guard(me->lock_);
            tasks.swap(me->tasks_);
            me->idle_.release();  // the source ends itself
        }
        for (auto& task : tasks) task();
        return G_SOURCE_REMOVE;
    }

    std::thread::id owner_ = std::this_thread::get_id();
    std::mutex lock_;
    std::deque<std::function<void()>> tasks_;
    lumetta::raii::GSourceId idle_;  // removed if still pending when the loop goes
};

class DlkModuleTest : public ::testing::Test {
  protected:
    std::string call(const char* name, lumetta::bridge::Arg a1 = nullopt) {
        return native.call(name, a1, nullopt);
    }
    // The next event, turning the main loop until one comes.
    std::string nextEvent(std::chrono::milliseconds limit = 10s) {
        std::string e;
        pumpUntil(
            [&] {
                if (auto got = native.queue().take()) e = *got;
                return !e.empty();
            },
            limit);
        return e;
    }
    std::string deviceText(const nlohmann::json& d) {
        return *lumetta::bridge::jsonStringFromObject(d);
    }

    GlibLoopThread mainThread;
    MemoryStore store;
    RecordingApplication application;
    lumetta::bridge::NotificationCenter center;
    lumetta::bridge::Services services{mainThread, center, store, application};
    NativeCall native{services, {lumetta::modules::dlk::descriptor()}};
};

}  // namespace

TEST_F(DlkModuleTest, FreshModuleAnswersItsDefaults) {
    EXPECT_EQ(call("$$dlk_device"), "s");
    EXPECT_EQ(call("$$dlk_timeout"), "d5");
    EXPECT_EQ(call("$$dlk_keepalive"), "d3");
    EXPECT_EQ(call("$$dlk_timeout", "10"), "d10");
    EXPECT_EQ(call("$$dlk_timeout"), "d10");
    EXPECT_EQ(call("$$dlk_timeout", "x"), "d0") << "no leading digits read as 0";
    EXPECT_EQ(call("$$dlk_send", "903C64"), "v") << "sending while not connected writes nothing";
    EXPECT_EQ(call("$$dlk_inputmode", "3"), "v");
    EXPECT_EQ(call("$$dlk_disconnect"), "v");
    pumpFor(100ms);
    EXPECT_FALSE(native.queue().take()) << "nothing above posts an event";
}

TEST_F(DlkModuleTest, DeviceThatIsNotJsonFailsAtOnceWithAnEmptyDevice) {
    EXPECT_EQ(call("$$dlk_connect", "not json"), "v");
    EXPECT_EQ(nextEvent(), "dlk\fconnectfailed\f");
    EXPECT_EQ(call("$$dlk_connect"), "v");
    EXPECT_EQ(nextEvent(), "dlk\fconnectfailed\f");
}

TEST_F(DlkModuleTest, ConnectMessageKeepAliveAndSilentDisconnect) {
    DevsimProcess sim({"--no-discovery"});
    ASSERT_TRUE(sim.started());
    const std::string device = deviceText(sim.dictionary());
    EXPECT_EQ(call("$$dlk_connect", sim.dictionary().dump()), "v");
    EXPECT_EQ(nextEvent(), "dlk\fconnected\f" + device);
    EXPECT_EQ(call("$$dlk_device"), "s" + device);

    EXPECT_EQ(call("$$dlk_send", "903c64"), "v");
    EXPECT_EQ(sim.waitFor("frame 2 "), "frame 2 0 0000000009903C64");
    auto message = nextEvent();
    auto fields = lumetta::bridge::splitFields(message, '\f');
    ASSERT_EQ(fields.size(), 4u) << message;
    EXPECT_EQ(fields[0], "dlk");
    EXPECT_EQ(fields[1], "message");
    EXPECT_EQ(fields[2], "903C64");
    EXPECT_GT(std::stoul(std::string(fields[3])), 0u);

    EXPECT_EQ(call("$$dlk_keepalive", "0"), "d0");
    EXPECT_EQ(sim.waitFor("frame 0 1"), "frame 0 1 00");
    EXPECT_EQ(call("$$dlk_inputmode", "258"), "v");
    EXPECT_EQ(sim.waitFor("frame 4 11"), "frame 4 11 02");

    // The console's status read shows the device's moving position and meters.
    ASSERT_TRUE(pumpUntil([&] {
        auto status = nlohmann::json::parse(call("$$dlk_status").substr(1));
        return status["connected"] == true && status["timeStamps"][0] != 0;
    }));

    EXPECT_EQ(call("$$dlk_disconnect"), "v");
    ASSERT_TRUE(sim.waitFor("control-closed"));
    pumpFor(200ms);
    EXPECT_FALSE(native.queue().take()) << "disconnect posts no event";
    EXPECT_EQ(call("$$dlk_device"), "s");
    EXPECT_EQ(call("$$dlk_keepalive"), "d0") << "time-outs outlive the connection";
    auto status = nlohmann::json::parse(call("$$dlk_status").substr(1));
    EXPECT_EQ(status["connected"], false);
    EXPECT_EQ(status["output"]["peakPowerL"], -120) << "reset on disconnect";
    EXPECT_EQ(status["timeStamps"][0], 0);
}

TEST_F(DlkModuleTest, DeviceErrorsAndClosingBecomeEvents) {
    {
        DevsimProcess bad({"--no-discovery", "--fault", "absurd-length", "--fault-after", "50"});
        call("$$dlk_connect", bad.dictionary().dump());
        EXPECT_EQ(nextEvent(), "dlk\fconnected\f" + deviceText(bad.dictionary()));
        EXPECT_EQ(nextEvent(), "dlk\ferror\f" + deviceText(bad.dictionary()));
    }
    DevsimProcess sim({"--no-discovery"});
    call("$$dlk_connect", sim.dictionary().dump());
    EXPECT_EQ(nextEvent(), "dlk\fconnected\f" + deviceText(sim.dictionary()));
    sim.terminate();
    EXPECT_EQ(nextEvent(), "dlk\fclosed\f" + deviceText(sim.dictionary()));
}

TEST_F(DlkModuleTest, CallsFromAnotherThreadRunOnTheMainThread) {
    std::string result;
    std::atomic<bool> done{false};
    std::thread other([&] {
        result = native.call("$$dlk_timeout", std::string("7"), nullopt);
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    other.join();
    EXPECT_EQ(result, "d7");
    EXPECT_EQ(call("$$dlk_timeout"), "d7");
}

TEST_F(DlkModuleTest, TheModuleOffersTheLinkStreams) {
    auto* streams = native.module<lumetta::audio::LinkAudioStreams>();
    ASSERT_TRUE(streams);
    EXPECT_EQ(streams->linkOutputStream().numberOfChannels(), 2u);
    EXPECT_EQ(streams->linkInputStream().status(), 0);
}
