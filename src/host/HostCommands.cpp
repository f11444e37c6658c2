#include "host/HostCommands.h"

namespace tern {

namespace {
std::size_t bytesOf(const HostCommands::Command& c) { return 2 * (c.text.size() + c.target.size()); }
}  // namespace

bool HostCommands::push(Command command) {
    const std::size_t size = bytesOf(command);
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || queue_.size() >= kLimit || bytes_ + size > kByteLimit) return false;
    bytes_ += size;
    queue_.push_back(std::move(command));
    count_.store(queue_.size(), std::memory_order_release);
    return true;
}

void HostCommands::pop() {
    bytes_ -= bytesOf(queue_.front());
    queue_.pop_front();
    count_.store(queue_.size(), std::memory_order_release);
}

std::vector<HostCommands::Command> HostCommands::takeAll(bool close) {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = closed_ || close;
    std::vector<Command> out(std::make_move_iterator(queue_.begin()), std::make_move_iterator(queue_.end()));
    queue_.clear();
    bytes_ = 0;
    count_.store(0, std::memory_order_release);
    return out;
}

}  // namespace tern
