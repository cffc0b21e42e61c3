#pragma once

// Open, save and folder dialogs as GTK file choosers. GtkFileChooserNative uses the desktop
// portal where there is one and GTK's own dialog elsewhere.

#include <gtk/gtk.h>

#include "base/raii/GObjectPtr.h"
#include "files/FileDialogs.h"

namespace lumetta::files {

/// Shows one chooser at a time (DialogQueue keeps the order). Main thread only. The open
/// chooser's signal holds `this`, so the object is neither copyable nor movable; destroying
/// it closes that chooser without an answer.
class GtkFileDialogs final : public FileDialogs {
  public:
    GtkFileDialogs() = default;
    ~GtkFileDialogs() override;
    GtkFileDialogs(const GtkFileDialogs&) = delete;
    GtkFileDialogs& operator=(const GtkFileDialogs&) = delete;

    void show(void* parent, const DialogRequest& request, Done done) override;

    /// The chooser that is showing, or null; for tests that answer it.
    GtkFileChooserNative* current() const { return chooser_.get(); }

  private:
    static void onResponse(GtkNativeDialog* dialog, int response, gpointer self);
    void close();

    raii::GObjectPtr<GtkFileChooserNative> chooser_;
    gulong responseHandler_ = 0;
    DialogRequest::Kind kind_ = DialogRequest::Kind::open;
    Done done_;
};

}  // namespace lumetta::files
