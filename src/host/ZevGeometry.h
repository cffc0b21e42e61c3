#pragma once

// The secondary panel's geometry as the page gives it, and where that puts the panel. No
// platform code: the controller supplies the measured heights.

#include <cstdint>
#include <optional>
#include <string>

namespace lumetta::host {

/// A rectangle in points; origin at the top-left corner.
struct ZevRect {
    int64_t x = 0;
    int64_t y = 0;
    int64_t width = 0;
    int64_t height = 0;
    bool operator==(const ZevRect&) const = default;
};

/// Reads the page's geometry JSON ({"x", "y", "width", "height"}): each member a number or
/// numeric text, taken as a 64-bit integer with any fraction cut off. Text that is not a JSON
/// object, and members that are missing or not numeric, count as 0.
ZevRect zevGeometryFromJson(const std::optional<std::string>& text);

/// The panel's frame in the main view's coordinates: the page measures from the top of the
/// window's visible content area, so y moves down by D = mainViewHeight - contentHeight (the
/// part of the main view hidden under the title bar; 0 when nothing is hidden).
ZevRect zevPanelFrame(const ZevRect& geometry, int64_t mainViewHeight, int64_t contentHeight);

}  // namespace lumetta::host
