#include "files/gtk/GtkFileDialogs.h"

#include "base/raii/GCharPtr.h"

namespace lumetta::files {

GtkFileDialogs::~GtkFileDialogs() {
    close();
}

void GtkFileDialogs::close() {
    if (!chooser_) return;
    if (responseHandler_) g_signal_handler_disconnect(chooser_.get(), responseHandler_);
    responseHandler_ = 0;
    gtk_native_dialog_destroy(GTK_NATIVE_DIALOG(chooser_.get()));
    chooser_.reset();
}

void GtkFileDialogs::show(void* parent, const DialogRequest& request, Done done) {
    if (chooser_) {
        // DialogQueue never asks for two at once; answer a second request as cancelled
        // rather than lose the first one's answer.
        done("");
        return;
    }
    GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_OPEN;
    const char* title = "Open";
    if (request.kind == DialogRequest::Kind::save) {
        action = GTK_FILE_CHOOSER_ACTION_SAVE;
        title = "Save";
    } else if (request.kind == DialogRequest::Kind::folder) {
        action = GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
        title = "Choose Folder";
    }
    GtkWindow* window = parent ? GTK_WINDOW(parent) : nullptr;
    chooser_.reset(gtk_file_chooser_native_new(title, window, action, nullptr, nullptr));
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(chooser_.get());
    gtk_native_dialog_set_modal(GTK_NATIVE_DIALOG(chooser_.get()), TRUE);
    if (!request.folder.empty()) {
        raii::GObjectPtr<GFile> folder(g_file_new_for_path(request.folder.c_str()));
        // A folder that does not exist leaves the choice to the platform.
        gtk_file_chooser_set_current_folder(chooser, folder.get(), nullptr);
    }
    if (request.kind == DialogRequest::Kind::save && !request.name.empty())
        gtk_file_chooser_set_current_name(chooser, request.name.c_str());
    if (request.kind != DialogRequest::Kind::folder && !request.extensions.empty()) {
        raii::GObjectPtr<GtkFileFilter> filter(gtk_file_filter_new());
        std::string label;
        for (auto& extension : request.extensions) {
            gtk_file_filter_add_suffix(filter.get(), extension.c_str());
            label += (label.empty() ? "*." : ", *.") + extension;
        }
        gtk_file_filter_set_name(filter.get(), label.c_str());
        gtk_file_chooser_add_filter(chooser, filter.get());
        gtk_file_chooser_set_filter(chooser, filter.get());
    }
    kind_ = request.kind;
    done_ = std::move(done);
    responseHandler_ = g_signal_connect(chooser_.get(), "response", G_CALLBACK(onResponse), this);
    gtk_native_dialog_show(GTK_NATIVE_DIALOG(chooser_.get()));
}

void GtkFileDialogs::onResponse(GtkNativeDialog* dialog, int response, gpointer data) {
    auto* self = static_cast<GtkFileDialogs*>(data);
    std::string path;
    if (response == GTK_RESPONSE_ACCEPT) {
        raii::GObjectPtr<GFile> file(gtk_file_chooser_get_file(GTK_FILE_CHOOSER(dialog)));
        raii::GCharPtr chosen(file ? g_file_get_path(file.get()) : nullptr);
        if (chosen) path = chosen.get();
    }
    Done done = std::move(self->done_);
    self->done_ = nullptr;
    // GTK keeps the dialog alive while it emits; dropping our reference here is safe.
    self->close();
    if (done) done(std::move(path));
}

}  // namespace lumetta::files
