#include "shell/ShellTask.h"

#include <glib-unix.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "base/raii/GErrorPtr.h"
#include "base/raii/GObjectPtr.h"
#include "bridge/BridgeText.h"

namespace lumetta::shell {

namespace {

constexpr size_t kReadSize = 65536;

std::atomic<int> liveTasks{0};

void dropSource(GSource*& source) {
    if (!source) return;
    g_source_destroy(source);
    g_source_unref(source);
    source = nullptr;
}

struct ContextUnref {
    void operator()(GMainContext* context) const { g_main_context_unref(context); }
};

}  // namespace

std::optional<std::string> ShellTask::commandLine(const nlohmann::json& words) {
    if (!words.is_array() || words.empty()) return std::nullopt;
    std::string line;
    for (size_t i = 0; i < words.size(); ++i) {
        const auto& word = words[i];
        if (i) line.push_back(' ');
        if (word.is_string()) {
            line += word.get<std::string>();
        } else if (word.is_number_integer()) {
            line += word.dump();
        } else if (word.is_number_float()) {
            double value = word.get<double>();
            // Whole numbers read as integers, as the page wrote them.
            if (value == static_cast<double>(static_cast<long long>(value)))
                line += std::to_string(static_cast<long long>(value));
            else
                line += word.dump();
        } else if (!word.is_null()) {
            line += word.dump();
        }
    }
    return line;
}

void ShellTask::attach(GMainContext* context) {
    readSource_ = g_unix_fd_source_new(output_.get(),
                                       static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR));
    g_source_set_callback(readSource_, G_SOURCE_FUNC(onReadable), this, nullptr);
    childSource_ = g_child_watch_source_new(pid_);
    g_source_set_callback(childSource_, G_SOURCE_FUNC(onExited), this, nullptr);
    // The task finishes only after both have fired, so it outlives this call; after the first
    // attach only the locals are read here.
    GSource* child = childSource_;
    g_source_attach(readSource_, context);
    g_source_attach(child, context);
}

ShellTask::Launch ShellTask::launch(const std::string& commandLine, Post post,
                                    bridge::MainThread* mainThread) {
    const char* argv[] = {"/bin/sh", "-c", commandLine.c_str(), nullptr};
    GPid pid = 0;
    gint output = -1;
    GError* raw = nullptr;
    // Standard input and standard error stay the application's own.
    gboolean started = g_spawn_async_with_pipes(
        nullptr, const_cast<char**>(argv), nullptr,  // argv is not written
        static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_CHILD_INHERITS_STDIN), nullptr,
        nullptr, &pid, nullptr, &output, nullptr, &raw);
    raii::GErrorPtr error(raw);
    if (!started) return {0, error ? error->message : "The shell could not be started."};
    raii::UniqueFd fd(output);
    g_unix_set_fd_nonblocking(fd.get(), TRUE, nullptr);

    auto task = std::make_unique<ShellTask>(Key{}, pid, std::move(fd), std::move(post));
    ShellTask* self = task.get();
    // The task owns itself before any source can run: once attached, it may finish at once.
    self->self_ = std::move(task);
    if (g_main_context_get_thread_default() || !mainThread || mainThread->isCurrent()) {
        std::unique_ptr<GMainContext, ContextUnref> context(g_main_context_ref_thread_default());
        self->attach(context.get());
    } else {
        // A thread without a main loop of its own (the loopback server's): the output is read
        // on the main thread's, and the sources are attached there, so the task is only ever
        // touched by one thread.
        mainThread->post([self] { self->attach(g_main_context_default()); });
    }
    return {pid, {}};
}

ShellTask::ShellTask(Key, pid_t pid, raii::UniqueFd output, Post post)
    : pid_(pid), output_(std::move(output)), post_(std::move(post)) {
    ++liveTasks;
}

int ShellTask::alive() {
    return liveTasks.load();
}

ShellTask::~ShellTask() {
    --liveTasks;
    dropSource(readSource_);
    dropSource(childSource_);
}

void ShellTask::postText(const std::string& text) {
    // Runs in the main loop's callbacks: an event that cannot be posted is logged and dropped,
    // the task goes on to its end.
    try {
        if (post_) post_(bridge::joinEvent({"sh", "stdout", std::to_string(pid_), text}));
    } catch (const std::exception& e) {
        syslog(LOG_ERR, "shell task %d: event lost: %s", static_cast<int>(pid_), e.what());
    }
}

gboolean ShellTask::onReadable(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<ShellTask*>(data);
    char buffer[kReadSize];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return G_SOURCE_CONTINUE;
    if (n > 0) {
        // A chunk that is only the start of a character waits for the rest of it.
        std::string text = self->decoder_.feed(std::string_view(buffer, static_cast<size_t>(n)));
        if (!text.empty()) self->postText(text);
        return G_SOURCE_CONTINUE;
    }
    // End of the output (or a broken pipe): nothing more will come.
    std::string rest = self->decoder_.finish();
    if (!rest.empty()) self->postText(rest);
    self->drained_ = true;
    g_source_unref(self->readSource_);  // GLib removes the source when this returns
    self->readSource_ = nullptr;
    self->output_.reset();
    self->finishIfDone();
    return G_SOURCE_REMOVE;
}

void ShellTask::onExited(GPid, gint, gpointer data) {
    auto* self = static_cast<ShellTask*>(data);
    // GLib has reaped the child by now.
    self->exited_ = true;
    g_source_unref(self->childSource_);  // a child watch ends after its one call
    self->childSource_ = nullptr;
    self->finishIfDone();
}

void ShellTask::finishIfDone() {
    // Output may still be buffered when the process ends, and a background job of the command
    // may keep the pipe open after it: the last event waits for both ends.
    if (!drained_ || !exited_) return;
    postText("");
    std::unique_ptr<ShellTask> self = std::move(self_);
}

}  // namespace lumetta::shell
