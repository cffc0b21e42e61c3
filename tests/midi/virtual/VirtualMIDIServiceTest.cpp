#include <gtest/gtest.h>

#include "midi/MIDIClientHarness.h"

using namespace lumetta::midi;
using namespace lumetta::midi::test;

TEST(VirtualMIDIServiceTest, LoopbackPairEchoesWhatIsSent) {
    auto loop = VirtualMIDISystem::create(true);
    ManualMainThread otherMain;
    Recorder r;
    MIDIClient c(0, loop->openClient("x"), otherMain);
    c.inputPort()->setDelegate(&r);
    auto in = c.inputPort()->endpoints();
    auto out = c.outputPort()->endpoints();
    ASSERT_EQ(in.size(), 1u);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(in[0]["MIDIEntityNameKey"], "Lumetta Loopback");
    EXPECT_EQ(out[0]["MIDIEntityNameKey"], "Lumetta Loopback");
    c.inputPort()->connectEndpoint(in[0]);
    c.outputPort()->connectEndpoint(out[0]);
    const Bytes sysex{0xF0, 0x7E, 0x7F, 0x06, 0x01, 0xF7};
    c.outputPort()->send(sysex.data(), static_cast<int32_t>(sysex.size()));
    ASSERT_TRUE(eventually(otherMain, [&] { return r.messageCount() == 1; }));
    EXPECT_EQ(r.messages[0].first, sysex);
}
