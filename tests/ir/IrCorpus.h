#pragma once

// The real cabinet impulse responses stay outside the repository: their terms do not allow
// bundling them. Cases that read them find the folder when they run and, when it is not there,
// skip with a line that says what was skipped and how to run it. The synthetic IRs in SynthIr.h
// cover the same formats, so every clone runs the engine's checks without them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace lumetta::ir::test {

/// Where the corpus is looked for: `$LUMETTA_IR_CORPUS`, else the folder the build was configured
/// with (the `shared/ir-corpus` beside the checkout).
struct IrCorpus {
    std::optional<std::string> dir;
    bool demanded = false;  ///< named by the environment, so its absence is an error
    std::string note;       ///< why it is not there and how to provide it

    static IrCorpus find() {
        IrCorpus c;
        const char* named = std::getenv("LUMETTA_IR_CORPUS");
        const std::string candidate = named && *named ? named : LUMETTA_IR_CORPUS_DEFAULT;
        c.demanded = named && *named;
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            c.dir = candidate;
        } else if (c.demanded) {
            c.note = "LUMETTA_IR_CORPUS names " + candidate + ", which is not a folder";
        } else {
            c.note = "needs the cabinet IR corpus, which is not at " + candidate +
                     "; set LUMETTA_IR_CORPUS to its folder to run this case";
        }
        return c;
    }
};

/// Base of the suites that read the corpus: they skip without it, and fail when the environment
/// names a folder that is not there (CI names it, so it never skips there).
class IrCorpusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const IrCorpus corpus = IrCorpus::find();
        if (corpus.dir) {
            dir_ = *corpus.dir;
        } else if (corpus.demanded) {
            FAIL() << corpus.note;
        } else {
            GTEST_SKIP() << corpus.note;
        }
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& dir() const { return dir_; }

  private:
    std::string dir_;
};

}  // namespace lumetta::ir::test
