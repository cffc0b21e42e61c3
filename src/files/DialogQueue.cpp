#include "files/FileDialogs.h"

namespace lumetta::files {

DialogQueue::DialogQueue(FileDialogs& dialogs, std::function<void*()> parent)
    : dialogs_(dialogs), parent_(std::move(parent)), self_(std::make_shared<DialogQueue*>(this)) {}

DialogQueue::~DialogQueue() {
    *self_ = nullptr;
}

void DialogQueue::enqueue(DialogRequest request, FileDialogs::Done done) {
    pending_.push_back({std::move(request), std::move(done)});
    startNext();
}

void DialogQueue::startNext() {
    if (busy_ || pending_.empty()) return;
    Item item = std::move(pending_.front());
    pending_.pop_front();
    busy_ = true;
    std::weak_ptr<DialogQueue*> weak = self_;
    dialogs_.show(parent_ ? parent_() : nullptr, item.request,
                  [weak, done = std::move(item.done)](std::string path) {
                      auto self = weak.lock();
                      if (!self || !*self) return;
                      if (done) done(std::move(path));
                      if (!*self) return;  // the answer's receiver may have closed the page
                      DialogQueue* queue = *self;
                      queue->busy_ = false;
                      queue->startNext();
                  });
}

}  // namespace lumetta::files
