#pragma once

// Doubles for the desktop and the file dialogs of the fs module.

#include <map>
#include <string>
#include <vector>

#include "files/Desktop.h"
#include "files/FileDialogs.h"

namespace lumetta::test {

class FakeDesktop final : public files::Desktop {
  public:
    std::optional<std::string> userFolder(files::UserFolder folder) override {
        auto it = folders.find(folder);
        return it == folders.end() ? std::nullopt : std::optional(it->second);
    }
    std::vector<files::VolumeRecord> volumes() override { return volumeList; }
    bool openWithDefault(const std::string& target) override {
        opened.push_back(target);
        return true;
    }
    void unmount(const std::string& path, UnmountDone done) override {
        unmounts.push_back(path);
        pendingUnmount = std::move(done);
    }

    std::map<files::UserFolder, std::string> folders;
    std::vector<files::VolumeRecord> volumeList;
    std::vector<std::string> opened;
    std::vector<std::string> unmounts;
    UnmountDone pendingUnmount;
};

/// Keeps the shown requests; the test answers them.
class FakeDialogs final : public files::FileDialogs {
  public:
    void show(void* parentWindow, const files::DialogRequest& request, Done done) override {
        parent = parentWindow;
        shown.push_back(request);
        answers.push_back(std::move(done));
    }
    /// Answers the oldest open dialog.
    void answer(const std::string& path) {
        auto done = std::move(answers.front());
        answers.erase(answers.begin());
        done(path);
    }
    void* parent = nullptr;
    std::vector<files::DialogRequest> shown;
    std::vector<Done> answers;
};

}  // namespace lumetta::test
