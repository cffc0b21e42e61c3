#pragma once

// An HTTP/1.1 server on 127.0.0.1 for transfer tests and benchmarks, one thread per
// connection. Paths choose the behaviour:
//   GET /fixed/N       N bytes of pattern with Content-Length
//   GET /chunked/N     N bytes, chunked, no length
//   GET /status/CODE   that status with a small error page
//   GET /slow          a long body trickling out until the client goes
//   GET /closemid/N    declares N bytes, sends half, closes
//   GET /long/N        declares N bytes, sends 2N, closes
//   GET /stall         declares 1000 bytes, sends 10, then nothing
//   GET /noanswer      reads the request and never answers
//   GET /redirect      redirects to itself for ever
//   GET /hugeheader    a 1 MiB header line
//   PUT /upload/CODE   takes the body (counted, digested), answers CODE
//   GET /blob/N        N bytes of a repeated 1 MiB block, as fast as possible (benchmarks)
//   PUT /discard       takes the body without looking at it, answers 200 (benchmarks)

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/raii/UniqueFd.h"

namespace lumetta::test {

/// Byte `i` of every body this server sends.
inline uint8_t patternByte(uint64_t i) {
    return static_cast<uint8_t>((i * 131u + (i >> 12)) & 0xFF);
}

/// A 64-bit FNV-1a digest, to compare big bodies without keeping them.
struct Fnv {
    uint64_t value = 1469598103934665603ull;
    void add(const uint8_t* bytes, size_t size) {
        for (size_t i = 0; i < size; ++i) value = (value ^ bytes[i]) * 1099511628211ull;
    }
};

class TestHttpServer {
  public:
    /// What the last upload carried.
    struct Upload {
        std::string method;
        std::map<std::string, std::string> headers;  // names in lower case
        uint64_t size = 0;
        uint64_t digest = 0;
        bool complete = false;
    };

    TestHttpServer();
    /// Ends every connection and joins every thread.
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    uint16_t port() const { return port_; }
    /// "http://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string& path) const;

    Upload lastUpload();
    int requests() const { return requests_.load(); }
    /// Connections whose handler has not finished yet.
    int busy() const { return busy_.load(); }

  private:
    void acceptLoop();
    void serve(int fd);
    bool sendAll(int fd, const void* bytes, size_t size);
    bool stopped() const { return stop_.load(); }

    raii::UniqueFd listen_;
    raii::UniqueFd wake_;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> busy_{0};
    std::mutex lock_;
    Upload upload_;                     // guarded by lock_
    std::vector<int> open_;             // guarded by lock_: connections to shut down at the end
    std::vector<std::thread> workers_;  // guarded by lock_
    std::thread acceptor_;              // last
};

}  // namespace lumetta::test
