#pragma once

// A temporary home for the fs and sh tests: HOME and the XDG variables point into it before
// any test runs, so no test touches the real user folders.

#include <string>

namespace lumetta::test {

/// The temporary home, ending in "/". Its user-dirs.dirs names Docs, Music, Videos and
/// Pictures inside it and turns Downloads off (set to home).
const std::string& testHome();

/// A fresh directory inside the temporary home, removed when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    /// The directory, without a trailing "/".
    const std::string& path() const { return path_; }
    /// `path()/name`.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

/// Writes `content` to `path` with plain POSIX calls (not the code under test).
void putFile(const std::string& path, const std::string& content);
/// The whole content of `path`, or "<missing>".
std::string fileContent(const std::string& path);

}  // namespace lumetta::test
