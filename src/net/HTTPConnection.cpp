#include "net/HTTPConnection.h"

#include <unistd.h>

#include <cstdio>
#include <vector>

namespace lumetta::net {

HTTPConnection::HTTPConnection(bridge::MainThread& mainThread,
                               std::unique_ptr<HTTPTransferFactory> factory,
                               std::string temporaryDirectory)
    : mainThread_(mainThread),
      factory_(std::move(factory)),
      temporaryDirectory_(std::move(temporaryDirectory)) {}

HTTPConnection::~HTTPConnection() {
    std::map<uint32_t, std::shared_ptr<HTTPTransfer>> live;
    {
        std::lock_guard guard(lock_);
        live.swap(dict_);
    }
    for (auto& [uid, transfer] : live) transfer->cancel();
}

std::string HTTPConnection::temporaryFileName(pid_t pid, uint32_t uid) {
    char name[48];
    std::snprintf(name, sizeof name, "lmtt_%x_%x.tmp", static_cast<unsigned>(pid), uid);
    return name;
}

uint32_t HTTPConnection::download(const std::optional<std::string>& url,
                                  const std::optional<std::string>& file) {
    bool temporary = !file || file->empty();
    return start(Kind::Download, url, temporary ? std::string() : *file, temporary);
}

uint32_t HTTPConnection::upload(const std::optional<std::string>& url, const std::string& file) {
    return start(Kind::Upload, url, file, false);
}

uint32_t HTTPConnection::start(Kind kind, const std::optional<std::string>& text,
                               const std::string& file, bool temporary) {
    if (!text) return kNoTransfer;
    auto url = factory_->parseURL(*text);
    if (!url) return kNoTransfer;
    uint32_t uid;
    {
        std::lock_guard guard(lock_);
        uid = tid_++;
        // All ones means "not started" to the page, so that number is never handed out.
        if (uid == kNoTransfer) uid = tid_++;
    }
    std::string path = file;
    if (temporary && !temporaryDirectory_.empty())
        path = temporaryDirectory_ + temporaryFileName(getpid(), uid);
    auto transfer = factory_->makeTransfer(*this, uid, *url, path);
    {
        std::lock_guard guard(lock_);
        dict_[uid] = transfer;
    }
    auto begin = [this, kind, uid, weak = std::weak_ptr<HTTPTransfer>(transfer)] {
        auto live = weak.lock();
        if (!live) return;
        {
            // Cancelled before it could start: it must stay silent.
            std::lock_guard guard(lock_);
            auto it = dict_.find(uid);
            if (it == dict_.end() || it->second != live) return;
        }
        if (kind == Kind::Download)
            live->download();
        else
            live->upload();
    };
    if (mainThread_.isCurrent())
        begin();
    else
        mainThread_.post(std::move(begin));
    return uid;
}

std::shared_ptr<HTTPTransfer> HTTPConnection::take(uint32_t uid) {
    std::lock_guard guard(lock_);
    auto it = dict_.find(uid);
    if (it == dict_.end()) return nullptr;
    auto transfer = std::move(it->second);
    dict_.erase(it);
    return transfer;
}

void HTTPConnection::cancel(uint32_t uid) {
    if (auto transfer = take(uid)) transfer->cancel();
}

void HTTPConnection::didLoadData(uint32_t uid, int64_t expected, int64_t amount) {
    if (delegate_) delegate_->connectionDidLoadData(uid, expected, amount);
}

void HTTPConnection::didFinishLoading(uint32_t uid, const std::string& file) {
    if (delegate_) delegate_->connectionDidFinishLoading(uid, file);
    // The caller still holds the transfer, so letting go here cannot destroy it mid-call.
    take(uid);
}

void HTTPConnection::errorDidOccur(uint32_t uid, const std::string& url) {
    if (delegate_) delegate_->connectionErrorDidOccur(uid, url);
    take(uid);
}

size_t HTTPConnection::count() {
    std::lock_guard guard(lock_);
    return dict_.size();
}

void HTTPConnection::setNextNumber(uint32_t tid) {
    std::lock_guard guard(lock_);
    tid_ = tid;
}

}  // namespace lumetta::net
