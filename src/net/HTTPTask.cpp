#include "net/HTTPTask.h"

#include <fcntl.h>
#include <gio/gunixinputstream.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/raii/GCharPtr.h"
#include "base/raii/GErrorPtr.h"

namespace lumetta::net {

namespace {

bool isHttpScheme(const std::string& url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes all of `bytes`; false on any failure (a full disk, a closed descriptor).
bool writeAll(int fd, const uint8_t* bytes, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Runs a main-loop callback body, so that nothing thrown escapes into GLib.
template <class Body>
void guarded(const char* where, Body&& body) {
    try {
        body();
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "HTTP transfer %s: %s", where, e.what());
    } catch (...) {
        syslog(LOG_ERR, "HTTP transfer %s: unknown exception", where);
    }
}

}  // namespace

HTTPTask::HTTPTask(HTTPConnection& http, uint32_t uid, std::string url, std::string file,
                   HTTPTaskOptions options)
    : http_(&http),
      options_(options),
      uid_(uid),
      url_(std::move(url)),
      fileURL_(std::move(file)),
      cancellable_(g_cancellable_new()) {}

HTTPTask::~HTTPTask() {
    close();
}

std::optional<std::string> HTTPTask::parseURL(const std::string& text) {
    raii::GErrorPtr error;
    GError* raw = nullptr;
    GUri* uri = g_uri_parse(text.c_str(), G_URI_FLAGS_NONE, &raw);
    error.reset(raw);
    if (!uri) return std::nullopt;
    raii::GCharPtr absolute(g_uri_to_string(uri));
    g_uri_unref(uri);
    return std::string(absolute.get());
}

bool HTTPTask::makeSession(unsigned timeoutSeconds) {
    session_.reset(soup_session_new());
    if (!session_) return false;
    soup_session_set_timeout(session_.get(), timeoutSeconds);
    return true;
}

void HTTPTask::download() {
    if (!http_) return;
    if (fileURL_.empty()) return error("no place for the download");
    struct stat info {};
    if (::lstat(fileURL_.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return error("the destination is a directory");
        if (::unlink(fileURL_.c_str()) != 0) return error("the destination cannot be replaced");
    }
    if (!isHttpScheme(url_)) return error("not an HTTP URL");
    partPath_ = directoryOf(fileURL_) + "/.lmtt-XXXXXX";
    part_.reset(::mkostemp(partPath_.data(), O_CLOEXEC));
    if (!part_) {
        partPath_.clear();
        return error(std::string("cannot create the download file: ") + std::strerror(errno));
    }
    ::fchmod(part_.get(), 0644);
    if (!makeSession(options_.downloadTimeoutSeconds)) return error("no session");
    request_.reset(soup_message_new("GET", url_.c_str()));
    if (!request_) return error("no request");
    soup_session_send_async(session_.get(), request_.get(), G_PRIORITY_DEFAULT, cancellable_.get(),
                            onSent, hold());
}

void HTTPTask::upload() {
    if (!http_) return;
    uploading_ = true;
    if (!isHttpScheme(url_)) return error("not an HTTP URL");
    // Non-blocking open, so that a FIFO cannot hang us before it is refused.
    raii::UniqueFd source(::open(fileURL_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!source || ::fstat(source.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return error("the source is not a readable file");
    ::fcntl(source.get(), F_SETFL, 0);
    if (!makeSession(options_.uploadTimeoutSeconds)) return error("no session");
    request_.reset(soup_message_new("PUT", url_.c_str()));
    if (!request_) return error("no request");
    SoupMessageHeaders* headers = soup_message_get_request_headers(request_.get());
    soup_message_headers_replace(headers, "User-Agent", "VELMAR");
    raii::GObjectPtr<GInputStream> file(g_unix_input_stream_new(source.release(), TRUE));
    // A file cannot be polled, so every read of it is a trip to a worker thread; reading it
    // a large piece at a time keeps those trips rare.
    raii::GObjectPtr<GInputStream> stream(
        g_buffered_input_stream_new_sized(file.get(), options_.readSize));
    soup_message_set_request_body(request_.get(), "application/octet-stream", stream.get(),
                                  info.st_size);
    expected_ = info.st_size;
    g_signal_connect(request_.get(), "wrote-body-data", G_CALLBACK(onWroteBodyData), this);
    soup_session_send_async(session_.get(), request_.get(), G_PRIORITY_DEFAULT, cancellable_.get(),
                            onSent, hold());
}

void HTTPTask::cancel() {
    canceled_ = true;
    close();
}

void HTTPTask::onWroteBodyData(SoupMessage*, guint size, gpointer data) {
    auto* self = static_cast<HTTPTask*>(data);
    guarded("progress", [&] {
        self->amount_ += size;
        // libsoup reports every few kilobytes; the page hears at most every readSize bytes,
        // and always the last piece.
        bool last = self->amount_ >= self->expected_;
        if (!last &&
            self->amount_ - self->reported_ < static_cast<int64_t>(self->options_.readSize))
            return;
        self->reported_ = self->amount_;
        if (self->http_) self->http_->didLoadData(self->uid_, self->expected_, self->amount_);
    });
}

void HTTPTask::onSent(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Holder> holder(static_cast<Holder*>(data));
    guarded("response", [&] {
        GError* raw = nullptr;
        GInputStream* body = soup_session_send_finish(SOUP_SESSION(source), result, &raw);
        raii::GErrorPtr failure(raw);
        raii::GObjectPtr<GInputStream> owned(body);
        HTTPTask& self = **holder;
        if (!self.http_) return;
        if (!body) return self.error(failure ? failure->message : "no response");
        self.body_ = std::move(owned);
        self.responded(self.body_.get());
    });
}

void HTTPTask::responded(GInputStream*) {
    unsigned status = soup_message_get_status(request_.get());
    if (uploading_) {
        if (status != 200 && status != 201)
            return error("the server answered the upload with " + std::to_string(status));
        std::string file = fileURL_;
        HTTPConnection* http = http_;
        close();
        http->didFinishLoading(uid_, file);
        return;
    }
    // An error page is not the file that was asked for.
    if (status >= 400) return error("the server answered " + std::to_string(status));
    SoupMessageHeaders* headers = soup_message_get_response_headers(request_.get());
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH) {
        expected_ = soup_message_headers_get_content_length(headers);
        // The length counts encoded bytes; only an unencoded body can be checked against it.
        const char* coding = soup_message_headers_get_one(headers, "Content-Encoding");
        checkLength_ = !coding || g_ascii_strcasecmp(coding, "identity") == 0;
    }
    buffer_.resize(options_.readSize);
    readNext();
}

void HTTPTask::readNext() {
    g_input_stream_read_async(body_.get(), buffer_.data(), buffer_.size(), G_PRIORITY_DEFAULT,
                              cancellable_.get(), onRead, hold());
}

void HTTPTask::onRead(GObject* source, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Holder> holder(static_cast<Holder*>(data));
    guarded("read", [&] {
        GError* raw = nullptr;
        gssize size = g_input_stream_read_finish(G_INPUT_STREAM(source), result, &raw);
        raii::GErrorPtr failure(raw);
        HTTPTask& self = **holder;
        if (!self.http_) return;
        if (size < 0) return self.error(failure ? failure->message : "read failed");
        self.received(size);
    });
}

void HTTPTask::received(gssize size) {
    if (size == 0) return finishDownload();
    if (!writeAll(part_.get(), buffer_.data(), static_cast<size_t>(size)))
        return error(std::string("cannot write the download: ") + std::strerror(errno));
    amount_ += size;
    http_->didLoadData(uid_, expected_, amount_);
    if (http_) readNext();
}

void HTTPTask::finishDownload() {
    // A connection that ends before the declared length is a broken transfer, not a file.
    if (checkLength_ && amount_ != expected_)
        return error("the body ended after " + std::to_string(amount_) + " of " +
                     std::to_string(expected_) + " bytes");
    if (part_.close() != 0) return error("cannot write the download");
    if (::rename(partPath_.c_str(), fileURL_.c_str()) != 0)
        return error(std::string("cannot move the download into place: ") + std::strerror(errno));
    partPath_.clear();
    std::string file = fileURL_;
    HTTPConnection* http = http_;
    close();
    http->didFinishLoading(uid_, file);
}

void HTTPTask::error(const std::string& why) {
    if (!http_) return;
    std::string url = url_;
    HTTPConnection* http = http_;
    bool canceled = canceled_;
    syslog(LOG_INFO, "HTTP transfer %u of %s failed: %s", uid_, url.c_str(), why.c_str());
    close();
    if (!canceled) http->errorDidOccur(uid_, url);
}

void HTTPTask::close() {
    http_ = nullptr;
    if (cancellable_) g_cancellable_cancel(cancellable_.get());
    if (request_) g_signal_handlers_disconnect_by_data(request_.get(), this);
    if (session_) soup_session_abort(session_.get());
    body_.reset();
    request_.reset();
    session_.reset();
    part_.reset();
    if (!partPath_.empty()) {
        ::unlink(partPath_.c_str());
        partPath_.clear();
    }
    url_.clear();
    fileURL_.clear();
}

std::optional<std::string> SoupTransferFactory::parseURL(const std::string& text) {
    return HTTPTask::parseURL(text);
}

std::shared_ptr<HTTPTransfer> SoupTransferFactory::makeTransfer(HTTPConnection& http, uint32_t uid,
                                                                const std::string& url,
                                                                const std::string& file) {
    return std::make_shared<HTTPTask>(http, uid, url, file, options_);
}

}  // namespace lumetta::net
