#include "host/ZevGeometry.h"

#include <cctype>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace lumetta::host {

namespace {
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

// Leading white space, an optional sign, then digits up to the first other character;
// saturates instead of overflowing. "12.9px" is 12, "abc" is 0.
int64_t integerFromText(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        int digit = text[i] - '0';
        if (value > (kMax - digit) / 10) return negative ? kMin : kMax;
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

int64_t integerFromDouble(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9.2233720368547758e18) return kMax;
    if (value <= -9.2233720368547758e18) return kMin;
    return static_cast<int64_t>(value);  // truncates toward zero
}

int64_t member(const nlohmann::json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end()) return 0;
    if (it->is_number_integer())
        return it->is_number_unsigned() && it->get<uint64_t>() > uint64_t(kMax)
                   ? kMax
                   : it->get<int64_t>();
    if (it->is_number_float()) return integerFromDouble(it->get<double>());
    if (it->is_string()) return integerFromText(it->get<std::string>());
    if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
    return 0;
}

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? kMax : kMin;
    return sum;
}
}  // namespace

ZevRect zevGeometryFromJson(const std::optional<std::string>& text) {
    if (!text) return {};
    nlohmann::json json = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
    if (!json.is_object()) return {};
    return {member(json, "x"), member(json, "y"), member(json, "width"), member(json, "height")};
}

ZevRect zevPanelFrame(const ZevRect& geometry, int64_t mainViewHeight, int64_t contentHeight) {
    int64_t hidden = 0;
    if (__builtin_sub_overflow(mainViewHeight, contentHeight, &hidden))
        hidden = contentHeight < 0 ? kMax : kMin;
    return {geometry.x, saturatingAdd(geometry.y, hidden), geometry.width, geometry.height};
}

}  // namespace lumetta::host
