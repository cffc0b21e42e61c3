#include <glib.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "host/gtk/GlibMainThread.h"

using lumetta::host::GlibMainThread;

TEST(GlibMainThread, ATaskThatThrowsDoesNotStopTheLoopOrTheTasksAfterIt) {
    GlibMainThread main;
    int ran = 0;
    main.post([] { throw std::runtime_error("task failed"); });
    main.post([&] { ++ran; });
    main.post([] { throw 42; });
    main.post([&] { ++ran; });
    for (int i = 0; i < 100 && ran < 2; ++i) g_main_context_iteration(nullptr, FALSE);
    EXPECT_EQ(ran, 2);
}
