#pragma once

// A DNS-SD client double: records every operation started and lets a test deliver replies.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "net/DnsSd.h"

namespace lumetta::test {

class FakeDnsSd final : public net::DnsSdClient {
  public:
    struct Op {
        std::string kind;  // "browse", "resolve", "address"
        std::string name, type, domain, host;
        uint32_t interfaceIndex = 0;
        bool live = true;
        std::function<void(const net::DnsSdBrowseReply&)> browse;
        std::function<void(const net::DnsSdResolveReply&)> resolve;
        std::function<void(const net::DnsSdAddressReply&)> address;
    };

    class Operation final : public net::DnsSdOperation {
      public:
        explicit Operation(std::shared_ptr<Op> op) : op_(std::move(op)) {}
        ~Operation() override { op_->live = false; }

      private:
        std::shared_ptr<Op> op_;
    };

    class Connection final : public net::DnsSdConnection {
      public:
        explicit Connection(FakeDnsSd& owner) : owner_(owner) { ++owner_.liveConnections; }
        ~Connection() override {
            --owner_.liveConnections;
            for (auto& op : mine_) op->live = false;  // subordinates end with the connection
        }
        net::DnsSdOperationPtr browse(const std::string& type, const std::string& domain,
                                      std::function<void(const net::DnsSdBrowseReply&)> reply,
                                      int32_t& error) override {
            if (owner_.browseError) {
                error = owner_.browseError;
                return nullptr;
            }
            auto op = add("browse");
            op->type = type;
            op->domain = domain;
            op->browse = std::move(reply);
            return std::make_unique<Operation>(op);
        }
        net::DnsSdOperationPtr resolve(uint32_t interfaceIndex, const std::string& name,
                                       const std::string& type, const std::string& domain,
                                       std::function<void(const net::DnsSdResolveReply&)> reply,
                                       int32_t&) override {
            auto op = add("resolve");
            op->interfaceIndex = interfaceIndex;
            op->name = name;
            op->type = type;
            op->domain = domain;
            op->resolve = std::move(reply);
            return std::make_unique<Operation>(op);
        }
        net::DnsSdOperationPtr getAddrInfo(uint32_t interfaceIndex, const std::string& host,
                                           std::function<void(const net::DnsSdAddressReply&)> reply,
                                           int32_t&) override {
            auto op = add("address");
            op->interfaceIndex = interfaceIndex;
            op->host = host;
            op->address = std::move(reply);
            return std::make_unique<Operation>(op);
        }

      private:
        std::shared_ptr<Op> add(const char* kind) {
            auto op = std::make_shared<Op>();
            op->kind = kind;
            owner_.ops.push_back(op);
            mine_.push_back(op);
            return op;
        }
        FakeDnsSd& owner_;
        std::vector<std::shared_ptr<Op>> mine_;
    };

    std::unique_ptr<net::DnsSdConnection> createConnection(int32_t& error) override {
        if (connectError) {
            error = connectError;
            return nullptr;
        }
        return std::make_unique<Connection>(*this);
    }

    /// The newest live operation of a kind (optionally for a name or host), or null.
    std::shared_ptr<Op> live(const std::string& kind, const std::string& key = "") {
        for (auto it = ops.rbegin(); it != ops.rend(); ++it)
            if ((*it)->live && (*it)->kind == kind &&
                (key.empty() || (*it)->name == key || (*it)->host == key))
                return *it;
        return nullptr;
    }
    size_t liveCount(const std::string& kind) {
        size_t n = 0;
        for (auto& op : ops) n += op->live && op->kind == kind;
        return n;
    }

    void found(const std::string& name, uint32_t interfaceIndex = 2, bool add = true) {
        auto op = live("browse");
        net::DnsSdBrowseReply reply;
        reply.add = add;
        reply.name = name;
        reply.type = "_test._tcp.";
        reply.domain = "local.";
        reply.interfaceIndex = interfaceIndex;
        op->browse(reply);
    }

    static std::vector<uint8_t> ipv4(const char* text) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        inet_pton(AF_INET, text, &in.sin_addr);
        const auto* bytes = reinterpret_cast<const uint8_t*>(&in);
        return {bytes, bytes + sizeof in};
    }

    std::vector<std::shared_ptr<Op>> ops;
    int liveConnections = 0;
    int32_t connectError = 0;
    int32_t browseError = 0;
};

}  // namespace lumetta::test
