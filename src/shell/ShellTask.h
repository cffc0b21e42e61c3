#pragma once

// One command line run through /bin/sh, its standard output streamed as events.

#include <glib.h>
#include <sys/types.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "base/raii/UniqueFd.h"
#include "bridge/MainThread.h"
#include "shell/Utf8Chunker.h"

namespace lumetta::shell {

/// A running `/bin/sh -c LINE`. Its standard output is read through a pipe on the main loop of
/// the thread that started it; each read becomes one "sh" "stdout" event with the process id,
/// and one event with an empty text follows once the process has ended and its output is
/// drained. The task owns itself while the process runs and releases itself after that last
/// event; GLib reaps the child. Sources hold `this`: neither copyable nor movable.
class ShellTask {
  public:
    /// Receives each event text; called on the thread that reads the output.
    using Post = std::function<void(std::string event)>;

    /// The outcome of launch: the process id, or the reason the shell could not start.
    struct Launch {
        pid_t pid = 0;
        std::string error;
    };

    /// Starts the command; its output is read on the calling thread's own main context when it
    /// has one (a thread-default context, or the main thread's), otherwise on the main thread,
    /// where the reading is handed through `mainThread`. The task lives on by itself.
    static Launch launch(const std::string& commandLine, Post post,
                         bridge::MainThread* mainThread = nullptr);

    /// The command line of a JSON array of words: strings as they are, numbers in decimal,
    /// joined with single spaces (no quoting: the shell reads the line). nullopt for anything
    /// that is not a non-empty array.
    static std::optional<std::string> commandLine(const nlohmann::json& words);

    /// How many tasks exist: started and not yet released (diagnostics and tests).
    static int alive();

    ~ShellTask();
    ShellTask(const ShellTask&) = delete;
    ShellTask& operator=(const ShellTask&) = delete;

  private:
    struct Key {};

  public:
    ShellTask(Key, pid_t pid, raii::UniqueFd output, Post post);

  private:
    // Attaches the two sources; on the thread that runs `context`, or before it can run them.
    void attach(GMainContext* context);
    static gboolean onReadable(gint fd, GIOCondition condition, gpointer self);
    static void onExited(GPid pid, gint status, gpointer self);
    void postText(const std::string& text);
    // Posts the last event and deletes this task; nothing may touch it afterwards.
    void finishIfDone();

    pid_t pid_;
    raii::UniqueFd output_;
    Post post_;
    Utf8Chunker decoder_;
    GSource* readSource_ = nullptr;   // owned; attached while output is open
    GSource* childSource_ = nullptr;  // owned; attached until the child is reaped
    bool drained_ = false;
    bool exited_ = false;
    std::unique_ptr<ShellTask> self_;  // the task owns itself until it is done
};

}  // namespace lumetta::shell
