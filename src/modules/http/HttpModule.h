#pragma once

// The http bridge module: downloads and uploads in the background, reported as "http" events.

#include <memory>

#include "bridge/Module.h"
#include "net/HTTPConnection.h"

namespace lumetta::bridge {
class NativeCall;
}

namespace lumetta::modules::http {

/// Turns the transfer manager's notifications into "http" events for one page. Main thread.
class _HTTPConnectionDelegate final : public net::HTTPConnectionDelegate {
  public:
    /// The bridge that hears the events; not owned, outlives the adapter.
    bridge::NativeCall* native = nullptr;

    /// "http" "progress" with the number, the expected total (-1: unknown) and the amount.
    void connectionDidLoadData(uint32_t uid, int64_t expected, int64_t amount) override;
    /// "http" "completed" with the number and the local file.
    void connectionDidFinishLoading(uint32_t uid, const std::string& file) override;
    /// "http" "error" with the number and the remote URL.
    void connectionErrorDidOccur(uint32_t uid, const std::string& url) override;
};

/// The module object: owns the manager and its adapter; cancels every transfer at teardown.
class HttpModule final : public bridge::Module {
  public:
    /// `factory` makes the transfers (libsoup unless a test gives another).
    HttpModule(bridge::ModuleContext& context, std::unique_ptr<net::HTTPTransferFactory> factory);
    ~HttpModule() override;
    HttpModule(const HttpModule&) = delete;
    HttpModule& operator=(const HttpModule&) = delete;

    net::HTTPConnection& connection() { return *http_; }

  private:
    _HTTPConnectionDelegate adapter_;
    std::unique_ptr<net::HTTPConnection> http_;
};

/// The http module on libsoup with its default limits.
bridge::ModuleDescriptor descriptor();

/// The http module on transfers made by `makeFactory` (tests, benchmarks).
bridge::ModuleDescriptor descriptor(
    std::function<std::unique_ptr<net::HTTPTransferFactory>()> makeFactory);

}  // namespace lumetta::modules::http
