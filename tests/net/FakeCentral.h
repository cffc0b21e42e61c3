#pragma once

// A central double: records requests, and lets the test play the queue's callbacks.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "net/BLECentral.h"

namespace lumetta::test {

class FakeCentral final : public net::BLECentral {
  public:
    explicit FakeCentral(net::BLECentralDelegate& d) : delegate(d) {}

    net::BLEManagerState state() const override { return currentState; }
    bool isScanning() const override { return scanning; }
    void scanForPeripherals(const std::vector<std::string>& services, bool duplicates) override {
        scanning = true;
        scans.push_back(services);
        allowDuplicates = duplicates;
    }
    void stopScan() override {
        scanning = false;
        ++stops;
    }
    std::vector<net::BLEPeripheralPtr> retrievePeripherals(const std::string& id) override {
        auto it = known.find(id);
        if (it == known.end()) return {};
        return {it->second};
    }
    void connect(const net::BLEPeripheralPtr& p) override {
        p->setState(net::BLEPeripheralState::Connecting);
        record("connect " + p->identifier());
    }
    void cancelPeripheralConnection(const net::BLEPeripheralPtr& p) override {
        record("cancel " + p->identifier());
    }
    void discoverServices(const net::BLEPeripheralPtr& p,
                          const std::vector<std::string>& uuids) override {
        log.push_back("services " + p->identifier() + " " + (uuids.empty() ? "" : uuids[0]));
    }
    void discoverCharacteristics(const net::BLEPeripheralPtr& p,
                                 const net::BLEServicePtr& s) override {
        log.push_back("characteristics " + p->identifier() + " " + s->uuid);
    }
    void readValue(const net::BLEPeripheralPtr&, const net::BLECharacteristicPtr& c) override {
        record("read " + c->uuid);
    }
    void writeValue(const net::BLEPeripheralPtr&, const net::BLECharacteristicPtr& c,
                    const std::vector<uint8_t>& value, net::BLEWriteType type) override {
        std::string hex;
        for (auto b : value) hex += std::to_string(b) + ",";
        log.push_back("write " + c->uuid + " " + hex + " " +
                      std::to_string(static_cast<int>(type)));
    }
    void setNotifyValue(const net::BLEPeripheralPtr&, bool on,
                        const net::BLECharacteristicPtr& c) override {
        log.push_back(std::string("notify ") + c->uuid + (on ? " on" : " off"));
    }
    void dispatchAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        delayed.push_back({delay, std::move(task)});
    }

    void record(std::string entry) {
        std::lock_guard guard(logLock);
        log.push_back(std::move(entry));
    }
    size_t logSize() {
        std::lock_guard guard(logLock);
        return log.size();
    }

    /// Changes the state and tells the delegate, as the queue would.
    void setState(net::BLEManagerState s) {
        currentState = s;
        delegate.centralManagerDidUpdateState(s);
    }
    /// Runs the delayed tasks.
    void runDelayed() {
        auto tasks = std::move(delayed);
        delayed.clear();
        for (auto& t : tasks) t.task();
    }
    net::BLEPeripheralPtr addPeripheral(const std::string& id, const std::string& name) {
        auto p = std::make_shared<net::BLEPeripheral>(id);
        p->setName(name);
        known[id] = p;
        return p;
    }

    struct Delayed {
        std::chrono::milliseconds delay;
        std::function<void()> task;
    };
    net::BLECentralDelegate& delegate;
    net::BLEManagerState currentState = net::BLEManagerState::Unknown;
    bool scanning = false;
    bool allowDuplicates = false;
    int stops = 0;
    std::vector<std::vector<std::string>> scans;
    std::map<std::string, net::BLEPeripheralPtr> known;
    std::mutex logLock;
    std::vector<std::string> log;  // guarded by logLock where several threads call in
    std::vector<Delayed> delayed;
};

}  // namespace lumetta::test
