#pragma once

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace lumetta::bridge {

class NativeCall;

/// Notification names shared across the application.
namespace note {
inline constexpr const char* postEvent = "lumetta.postEvent";
inline constexpr const char* evalJavaScript = "lumetta.evalJavaScript";
inline constexpr const char* nativeControl = "lumetta.nativeControl";
inline constexpr const char* nativeLocate = "lumetta.nativeLocate";
inline constexpr const char* enableDragDrop = "lumetta.enableDragDrop";
inline constexpr const char* dropFiles = "lumetta.dropFiles";
inline constexpr const char* closeWindow = "lumetta.closeWindow";
}  // namespace note

/// A notification: its name, an object whose type the name fixes, and optionally the one
/// bridge it is addressed to (null reaches every page).
struct Notification {
    std::string name;
    std::any object;
    NativeCall* native = nullptr;
};

/// Process-wide notification centre. Observers run synchronously on the posting thread.
class NotificationCenter {
  public:
    using Observer = std::function<void(const Notification&)>;

    struct Entry;
    /// Keeps an observation alive; destroying it removes the observer and waits for a call
    /// of it that is running on another thread.
    class Token {
      public:
        Token() = default;
        Token(NotificationCenter* center, std::shared_ptr<Entry> entry);
        Token(Token&& other) noexcept;
        Token& operator=(Token&& other) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token();
        void reset();

      private:
        NotificationCenter* center_ = nullptr;
        std::shared_ptr<Entry> entry_;
    };

    /// The process's default centre.
    static NotificationCenter& defaultCenter();

    /// Calls `observer` for every notification named `name`; any thread.
    [[nodiscard]] Token observe(std::string name, Observer observer);
    /// Delivers to every current observer of the name, on this thread.
    void post(const Notification& notification);
    void post(std::string name, std::any object, NativeCall* native = nullptr);

  private:
    void remove(const std::shared_ptr<Entry>& entry);

    std::mutex lock_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace lumetta::bridge
