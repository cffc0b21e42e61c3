#pragma once

// Splits one fuzz input into the pieces a target needs, without libFuzzer's own helper so the
// targets also build with GCC for the corpus replay.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace lumetta::fuzz {

/// Takes bytes from the front of the input; every take is bounded by what is left.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }
    size_t remaining() const { return size_; }

    /// One byte, 0 when nothing is left.
    uint8_t byte() {
        if (size_ == 0) return 0;
        uint8_t b = *data_;
        ++data_;
        --size_;
        return b;
    }

    /// Up to `count` bytes.
    std::string_view take(size_t count) {
        if (count > size_) count = size_;
        std::string_view out(reinterpret_cast<const char*>(data_), count);
        data_ += count;
        size_ -= count;
        return out;
    }

    /// The text up to the next `sep` (consumed, not returned), or everything left.
    std::string_view field(char sep) {
        std::string_view rest(reinterpret_cast<const char*>(data_), size_);
        size_t at = rest.find(sep);
        if (at == std::string_view::npos) return take(size_);
        std::string_view out = take(at);
        byte();
        return out;
    }

    std::string_view rest() { return take(size_); }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace lumetta::fuzz

/// Crashes in a way every sanitizer build and the replay report, with the broken expectation.
#define FUZZ_CHECK(cond)                                                                        \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)
