#pragma once

// The user's open, save and folder dialogs, and the queue that shows them one at a time.
// GtkFileDialogs (gtk/) is the Linux implementation; tests use doubles.

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumetta::files {

/// What one dialog asks the user.
struct DialogRequest {
    enum class Kind { open, save, folder };
    Kind kind = Kind::open;
    std::vector<std::string> extensions;  ///< allowed extensions without dot; empty: any file
    std::string folder;                   ///< start folder; empty: the platform's choice
    std::string name;                     ///< proposed file name (save); empty: none
};

class FileDialogs {
  public:
    /// Receives the chosen path ("" when the user cancelled); main thread.
    using Done = std::function<void(std::string path)>;

    virtual ~FileDialogs() = default;

    /// Shows one dialog, modal to `parent` (the page's GtkWindow*, or null), and returns at
    /// once. `done` runs once on the main thread, or never when this object is destroyed
    /// first. Main thread.
    virtual void show(void* parent, const DialogRequest& request, Done done) = 0;
};

/// Shows requested dialogs one after the other, each with its own answer. Main thread only.
/// Hands `this` to the dialogs' callbacks, so it is neither copyable nor movable.
class DialogQueue {
  public:
    /// `dialogs` must outlive the queue; `parent` gives the window to be modal to when a
    /// dialog starts.
    DialogQueue(FileDialogs& dialogs, std::function<void*()> parent);
    ~DialogQueue();
    DialogQueue(const DialogQueue&) = delete;
    DialogQueue& operator=(const DialogQueue&) = delete;

    /// Shows the dialog now, or after those before it have closed. Main thread.
    void enqueue(DialogRequest request, FileDialogs::Done done);

    /// Requests not yet shown.
    size_t waiting() const { return pending_.size(); }
    /// True while a dialog is showing.
    bool busy() const { return busy_; }

  private:
    void startNext();

    struct Item {
        DialogRequest request;
        FileDialogs::Done done;
    };
    FileDialogs& dialogs_;
    std::function<void*()> parent_;
    std::deque<Item> pending_;
    bool busy_ = false;
    std::shared_ptr<DialogQueue*> self_;  // answers that arrive after destruction find it gone
};

}  // namespace lumetta::files
