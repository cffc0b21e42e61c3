// Opening files for reading: only regular files, and never a wait on a pipe.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>

#include "audio/CWaveUtil.h"
#include "audio/FileStream.h"
#include "audio/WavFileProc.h"

using namespace lumetta;

namespace {

// True when `open` answers within the hang guard; a call still waiting is released by opening
// the pipe's other end.
template <class Open>
bool answersAtOnce(const std::string& fifo, Open open, bool& result) {
    auto pending = std::async(std::launch::async, open);
    bool inTime = pending.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!inTime) {
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    result = pending.get();
    return inTime;
}

struct Fifo {
    Fifo() {
        char pattern[] = "/tmp/lumetta-fifo-XXXXXX";
        if (mkdtemp(pattern)) dir = pattern;
        path = dir + "/pipe";
        made = !dir.empty() && mkfifo(path.c_str(), 0600) == 0;
    }
    ~Fifo() {
        unlink(path.c_str());
        rmdir(dir.c_str());
    }
    std::string dir, path;
    bool made = false;
};

}  // namespace

TEST(FileStream, APipeIsRefusedWithoutWaitingForAWriter) {
    Fifo fifo;
    ASSERT_TRUE(fifo.made);
    bool opened = true;
    EXPECT_TRUE(answersAtOnce(
        fifo.path, [&] { return audio::FileStream().openRead(fifo.path.c_str()); }, opened));
    EXPECT_FALSE(opened);
    nlohmann::json dict;
    bool stat = true;
    EXPECT_TRUE(answersAtOnce(
        fifo.path, [&] { return audio::WavFileProc::wavstat(fifo.path, dict); }, stat));
    EXPECT_FALSE(stat) << "wavstat";
    bool wav = true;
    EXPECT_TRUE(answersAtOnce(
        fifo.path, [&] { return audio::CWaveUtil().openWav(fifo.path); }, wav));
    EXPECT_FALSE(wav) << "the conversion's reader";
}

TEST(FileStream, ADeviceIsRefused) {
    audio::FileStream file;
    EXPECT_FALSE(file.openRead("/dev/zero"));
    nlohmann::json dict;
    EXPECT_FALSE(audio::WavFileProc::wavstat("/dev/zero", dict));
}
