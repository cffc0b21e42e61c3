#pragma once

// Turns a byte stream that arrives in arbitrary chunks into UTF-8 text, chunk by chunk,
// without ever breaking or dropping a character at a chunk boundary.

#include <string>
#include <string_view>

namespace lumetta::shell {

/// One stream's decoder. Not thread-safe; one per stream.
class Utf8Chunker {
  public:
    /// The text of `bytes`: every complete character, with the bytes of a character that
    /// continues in the next chunk kept back for it. A byte that cannot start or continue a
    /// character becomes U+FFFD, so the result is always valid UTF-8.
    std::string feed(std::string_view bytes);

    /// The end of the stream: bytes still kept back (a character cut off for good) as U+FFFD.
    std::string finish();

    /// Bytes kept back for the next chunk (at most 3).
    size_t pending() const { return carry_.size(); }

  private:
    std::string carry_;
};

}  // namespace lumetta::shell
