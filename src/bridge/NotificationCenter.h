#pragma once

#include <concepts>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "bridge/BridgeText.h"

namespace lumetta::bridge {

class NativeCall;

/// A notification's name together with the type of the object it carries, so that posting
/// and observing under one name cannot disagree about the object.
template <class T>
struct Notification {
    std::string_view name;
};

/// Notification names shared across the application. "lumetta.closeWindow" is declared beside
/// the child window's controller, the type it carries.
namespace note {
/// A bridge event for the page's queue.
inline constexpr Notification<std::string> postEvent{"lumetta.postEvent"};
/// A script to evaluate in the page.
inline constexpr Notification<std::string> evalJavaScript{"lumetta.evalJavaScript"};
/// A native command the page sent ("name:json").
inline constexpr Notification<std::string> nativeControl{"lumetta.nativeControl"};
/// A URL the page should navigate to.
inline constexpr Notification<std::string> nativeLocate{"lumetta.nativeLocate"};
/// The page's drag-and-drop switch, as the page passed it.
inline constexpr Notification<Arg> enableDragDrop{"lumetta.enableDragDrop"};
/// The paths of the files dragged into the page.
inline constexpr Notification<std::vector<std::string>> dropFiles{"lumetta.dropFiles"};
}  // namespace note

/// Process-wide notification centre. Observers run synchronously on the posting thread.
/// Every notification may name the one bridge it is addressed to; null reaches every page.
class NotificationCenter {
  public:
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

    /// Calls `observer` with the object of every notification posted under `note`, and with
    /// the addressee when it takes one (`(const T&)` or `(const T&, NativeCall* native)`).
    /// Any thread.
    template <class T, class F>
    requires std::invocable<const F&, const T&> || std::invocable<const F&, const T&, NativeCall*>
    [[nodiscard]] Token observe(const Notification<T>& note, F observer) {
        return observeObject(
            note.name, typeid(T),
            [observer = std::move(observer)](const void* object, NativeCall* native) {
                const T& value = *static_cast<const T*>(object);
                if constexpr (std::invocable<const F&, const T&, NativeCall*>)
                    observer(value, native);
                else
                    observer(value);
            });
    }

    /// Delivers `object` to every current observer of `note`, on this thread. `native` is the
    /// one bridge the notification is for, or null for all.
    template <class T>
    void post(const Notification<T>& note, const std::type_identity_t<T>& object,
              NativeCall* native = nullptr) {
        postObject(note.name, typeid(T), &object, native);
    }

  private:
    // The object travels as a pointer to a T; the type recorded with each observer keeps it
    // from ever being read as another type.
    using Observer = std::function<void(const void* object, NativeCall* native)>;

    Token observeObject(std::string_view name, const std::type_info& type, Observer observer);
    void postObject(std::string_view name, const std::type_info& type, const void* object,
                    NativeCall* native);
    void remove(const std::shared_ptr<Entry>& entry);

    std::mutex lock_;
    std::vector<std::shared_ptr<Entry>> entries_;
};

}  // namespace lumetta::bridge
