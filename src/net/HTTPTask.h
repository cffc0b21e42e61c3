#pragma once

// One HTTP transfer on libsoup 3: a download streamed into a file, or an upload streamed from
// one with PUT. Callbacks run on the main loop of the thread that started it (the main thread).

#include <libsoup/soup.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/raii/GObjectPtr.h"
#include "base/raii/UniqueFd.h"
#include "net/HTTPConnection.h"

namespace lumetta::net {

/// Limits of a transfer.
struct HTTPTaskOptions {
    /// Longest wait for the server at any step of a download (libsoup's socket time-out).
    unsigned downloadTimeoutSeconds = 60;
    /// The same for uploads.
    unsigned uploadTimeoutSeconds = 10;
    /// Bytes asked for per read of a download body or of an upload's file; also the least
    /// progress between two progress notifications of an upload.
    size_t readSize = 256 * 1024;
};

/// A transfer. Owned by the manager's table while it runs, and by its own pending callbacks;
/// create with std::make_shared. Main thread only.
///
/// A download is written into a hidden part file beside its destination and renamed into
/// place only when the whole body arrived with a success status, so a failed or cancelled
/// transfer leaves no file. The manager's back pointer is dropped in `close`: nothing reaches
/// the manager after the transfer's one completed or error notification.
class HTTPTask final : public HTTPTransfer, public std::enable_shared_from_this<HTTPTask> {
  public:
    HTTPTask(HTTPConnection& http, uint32_t uid, std::string url, std::string file,
             HTTPTaskOptions options = {});
    ~HTTPTask() override;
    HTTPTask(const HTTPTask&) = delete;
    HTTPTask& operator=(const HTTPTask&) = delete;

    void download() override;
    void upload() override;
    void cancel() override;

    /// The absolute form of `text` when it is a valid absolute URL.
    static std::optional<std::string> parseURL(const std::string& text);

  private:
    using Holder = std::shared_ptr<HTTPTask>;
    static void onSent(GObject* source, GAsyncResult* result, gpointer data);
    static void onRead(GObject* source, GAsyncResult* result, gpointer data);
    static void onWroteBodyData(SoupMessage* message, guint size, gpointer data);

    gpointer hold() { return new Holder(shared_from_this()); }
    bool makeSession(unsigned timeoutSeconds);
    void responded(GInputStream* body);
    void readNext();
    void received(gssize size);
    void finishDownload();
    void error(const std::string& why);
    void close();

    HTTPConnection* http_;  // not owned; null once closed
    HTTPTaskOptions options_;
    bool canceled_ = false;
    bool uploading_ = false;
    const uint32_t uid_;
    std::string url_;
    std::string fileURL_;
    raii::GObjectPtr<SoupSession> session_;
    raii::GObjectPtr<SoupMessage> request_;
    raii::GObjectPtr<GCancellable> cancellable_;
    raii::GObjectPtr<GInputStream> body_;
    raii::UniqueFd part_;  // the download being written
    std::string partPath_;
    std::vector<uint8_t> buffer_;
    int64_t expected_ = -1;
    bool checkLength_ = false;  // the body must have exactly expected_ bytes
    int64_t amount_ = 0;
    int64_t reported_ = 0;  // the amount in the last progress notification of an upload
};

/// Makes libsoup transfers for the manager.
class SoupTransferFactory final : public HTTPTransferFactory {
  public:
    explicit SoupTransferFactory(HTTPTaskOptions options = {}) : options_(options) {}
    std::optional<std::string> parseURL(const std::string& text) override;
    std::shared_ptr<HTTPTransfer> makeTransfer(HTTPConnection& http, uint32_t uid,
                                               const std::string& url,
                                               const std::string& file) override;

  private:
    HTTPTaskOptions options_;
};

}  // namespace lumetta::net
