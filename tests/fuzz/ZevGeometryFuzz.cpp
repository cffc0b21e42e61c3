// The secondary panel's geometry from arbitrary page text and arbitrary measured heights:
// no overflow anywhere (the undefined-behaviour sanitizer watches the arithmetic), and the
// panel moves down by exactly the hidden part of the main view when that does not saturate.

#include <cstring>

#include "FuzzInput.h"
#include "host/ZevGeometry.h"

using namespace lumetta::host;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lumetta::fuzz::FuzzInput input(data, size);
    int64_t heights[2] = {0, 0};
    std::string_view raw = input.take(sizeof heights);
    std::memcpy(heights, raw.data(), raw.size());
    const bool absent = input.byte() == 0xFF;
    std::string text(input.rest());

    ZevRect geometry = zevGeometryFromJson(absent ? std::nullopt : std::optional(text));
    if (absent) FUZZ_CHECK(geometry == ZevRect{});
    FUZZ_CHECK(zevGeometryFromJson(text) == zevGeometryFromJson(text));  // no hidden state

    ZevRect frame = zevPanelFrame(geometry, heights[0], heights[1]);
    FUZZ_CHECK(frame.x == geometry.x);
    FUZZ_CHECK(frame.width == geometry.width && frame.height == geometry.height);
    // Both at small sizes, as a real window gives them: the exact move.
    const int64_t main = heights[0] % 100000, content = heights[1] % 100000;
    ZevRect small = zevPanelFrame(geometry, main, content);
    int64_t expected = 0;
    if (!__builtin_add_overflow(geometry.y, main - content, &expected))
        FUZZ_CHECK(small.y == expected);
    return 0;
}
