#include "bridge/NotificationCenter.h"

#include <algorithm>

namespace lumetta::bridge {

struct NotificationCenter::Entry {
    Entry(std::string observed, std::type_index objectType, Observer call)
        : name(std::move(observed)), type(objectType), observer(std::move(call)) {}

    std::string name;
    std::type_index type;
    Observer observer;
    std::recursive_mutex calling;  // held while the observer runs
    bool alive = true;
};

NotificationCenter::Token::Token(NotificationCenter* center, std::shared_ptr<Entry> entry)
    : center_(center), entry_(std::move(entry)) {}

NotificationCenter::Token::Token(Token&& other) noexcept
    : center_(other.center_), entry_(std::move(other.entry_)) {
    other.center_ = nullptr;
}

NotificationCenter::Token& NotificationCenter::Token::operator=(Token&& other) noexcept {
    if (this != &other) {
        reset();
        center_ = other.center_;
        entry_ = std::move(other.entry_);
        other.center_ = nullptr;
    }
    return *this;
}

NotificationCenter::Token::~Token() {
    reset();
}

void NotificationCenter::Token::reset() {
    if (center_ && entry_) center_->remove(entry_);
    center_ = nullptr;
    entry_.reset();
}

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::observeObject(std::string_view name,
                                                            const std::type_info& type,
                                                            Observer observer) {
    auto entry = std::make_shared<Entry>(std::string(name), type, std::move(observer));
    std::lock_guard guard(lock_);
    entries_.push_back(entry);
    return Token(this, entry);
}

void NotificationCenter::remove(const std::shared_ptr<Entry>& entry) {
    {
        std::lock_guard guard(lock_);
        entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
    }
    std::lock_guard calling(entry->calling);
    entry->alive = false;
}

void NotificationCenter::postObject(std::string_view name, const std::type_info& type,
                                    const void* object, NativeCall* native) {
    const std::type_index objectType(type);
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard guard(lock_);
        for (auto& e : entries_)
            if (e->name == name && e->type == objectType) targets.push_back(e);
    }
    for (auto& e : targets) {
        std::lock_guard calling(e->calling);
        if (e->alive) e->observer(object, native);
    }
}

}  // namespace lumetta::bridge
