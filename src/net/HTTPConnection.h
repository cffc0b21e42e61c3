#pragma once

// The HTTP transfer manager: numbers transfers, keeps the live ones in a table and relays
// their progress, completion and errors to its delegate. No HTTP library here: transfers are
// made by a factory (libsoup in the application, doubles in tests).

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "bridge/MainThread.h"

namespace lumetta::net {

/// The number that says no transfer was started.
inline constexpr uint32_t kNoTransfer = 0xFFFFFFFFu;

/// Hears about transfers. Every notification runs on the main thread.
class HTTPConnectionDelegate {
  public:
    virtual ~HTTPConnectionDelegate() = default;
    /// Bytes moved so far of `expected` (-1 when the total is not known).
    virtual void connectionDidLoadData(uint32_t uid, int64_t expected, int64_t amount) = 0;
    /// The transfer is done; `file` is the local file (download destination or upload source).
    virtual void connectionDidFinishLoading(uint32_t uid, const std::string& file) = 0;
    /// The transfer failed; `url` is the remote URL.
    virtual void connectionErrorDidOccur(uint32_t uid, const std::string& url) = 0;
};

/// One transfer as the manager drives it. Main thread.
class HTTPTransfer {
  public:
    virtual ~HTTPTransfer() = default;
    /// Starts fetching the URL into the file.
    virtual void download() = 0;
    /// Starts sending the file to the URL.
    virtual void upload() = 0;
    /// Stops the transfer; it reports nothing more.
    virtual void cancel() = 0;
};

class HTTPConnection;

/// Makes transfers and checks URLs for the manager.
class HTTPTransferFactory {
  public:
    virtual ~HTTPTransferFactory() = default;
    /// The URL in absolute form, or nullopt when `text` is not a valid absolute URL.
    virtual std::optional<std::string> parseURL(const std::string& text) = 0;
    /// A transfer numbered `uid` between `url` and the local `file`, reporting to `http`.
    virtual std::shared_ptr<HTTPTransfer> makeTransfer(HTTPConnection& http, uint32_t uid,
                                                       const std::string& url,
                                                       const std::string& file) = 0;
};

/// The manager. Public operations may be called from any thread; transfers are started on the
/// main thread (at once when called there).
class HTTPConnection {
  public:
    /// `temporaryDirectory` (ending in "/") receives downloads that name no destination;
    /// empty when there is no safe one, and such downloads then fail.
    HTTPConnection(bridge::MainThread& mainThread, std::unique_ptr<HTTPTransferFactory> factory,
                   std::string temporaryDirectory);
    /// Cancels every live transfer; no notification follows.
    ~HTTPConnection();
    HTTPConnection(const HTTPConnection&) = delete;
    HTTPConnection& operator=(const HTTPConnection&) = delete;

    /// Starts fetching `url` into `file` (none or empty: the temporary download file). The
    /// transfer's number, or kNoTransfer when the URL is missing or invalid.
    uint32_t download(const std::optional<std::string>& url,
                      const std::optional<std::string>& file);
    /// Starts sending `file` to `url`; kNoTransfer when the URL is missing or invalid.
    uint32_t upload(const std::optional<std::string>& url, const std::string& file);
    /// Stops transfer `uid` without further notification; an unknown number does nothing.
    void cancel(uint32_t uid);

    /// Called by transfers on the main thread; forwarded to the delegate. The last two also
    /// take the transfer out of the table.
    void didLoadData(uint32_t uid, int64_t expected, int64_t amount);
    void didFinishLoading(uint32_t uid, const std::string& file);
    void errorDidOccur(uint32_t uid, const std::string& url);

    /// The receiver of notifications; not owned. Set on the main thread before transfers start.
    void setDelegate(HTTPConnectionDelegate* delegate) { delegate_ = delegate; }

    /// Live transfers.
    size_t count();
    /// Sets the next transfer number (tests of the wrap-around).
    void setNextNumber(uint32_t tid);

    /// "lmtt_%x_%x.tmp" of the process id and the transfer number.
    static std::string temporaryFileName(pid_t pid, uint32_t uid);

  private:
    enum class Kind { Download, Upload };
    uint32_t start(Kind kind, const std::optional<std::string>& url, const std::string& file,
                   bool temporary);
    std::shared_ptr<HTTPTransfer> take(uint32_t uid);

    bridge::MainThread& mainThread_;
    std::unique_ptr<HTTPTransferFactory> factory_;
    std::string temporaryDirectory_;
    HTTPConnectionDelegate* delegate_ = nullptr;
    std::mutex lock_;  // guards tid_ and dict_
    uint32_t tid_ = 0;
    std::map<uint32_t, std::shared_ptr<HTTPTransfer>> dict_;
};

}  // namespace lumetta::net
