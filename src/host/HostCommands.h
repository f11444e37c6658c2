// What the host asked of its room, waiting for the session's thread. The
// exported calls only queue a command and wake that thread, so that none of
// them waits on the network: a server that stops reading holds up the
// session's own writes, never the host. The session's thread sends each
// command once its room can take it, in the order the host gave them.
//
// Thread-safe: any thread queues, the session's thread takes.
#ifndef PARLEY_HOST_HOSTCOMMANDS_H
#define PARLEY_HOST_HOSTCOMMANDS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "parley.h"

namespace tern {

struct PendingStanza;

class HostCommands {
public:
    // At most this many wait, holding at most kByteLimit of text; beyond
    // that a call is refused (its function returns 0).
    static constexpr std::size_t kLimit = PARLEY_QUEUE_LIMIT;
    static constexpr std::size_t kByteLimit = 16u << 20;

    // What PARLEY_EVENT_NOT_SENT carries in arg4.
    enum class Kind : std::int32_t {
        Message = PARLEY_NOT_SENT_MESSAGE,
        Subject = PARLEY_NOT_SENT_SUBJECT,
        Nickname = PARLEY_NOT_SENT_NICKNAME,
        Moderation = PARLEY_NOT_SENT_MODERATION,
        Destruction = PARLEY_NOT_SENT_DESTRUCTION,
    };
    enum class Moderation { None, Kick, Ban, MakeModerator, CancelRole, BlockWriting };
    struct Command {
        Kind kind;
        Moderation action = Moderation::None;
        std::u16string text;    // as the host gave it: message, subject, nickname, identifier
        std::u16string target;  // the occupant's nickname, for moderation
    };

    // False when the queue is full or closed.
    bool push(Command command);
    bool empty() const { return count_.load(std::memory_order_acquire) == 0; }
    // Takes the first command when ready(it) says it can go now; false
    // when there is none, or it cannot (then nothing behind it goes either).
    template <typename Ready>
    bool takeIf(Ready&& ready, Command& out) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty() || !ready(queue_.front())) return false;
        out = std::move(queue_.front());
        pop();
        return true;
    }
    // Everything still waiting; with close, nothing is taken any more.
    std::vector<Command> takeAll(bool close);

    // What a command sent to the room (a stanza of the session's that will
    // not arrive) was, as the host gave it; false for the session's own.
    static bool fromStanza(const PendingStanza& stanza, const std::string& room, Kind& kind, std::u16string& text);

private:
    void pop();  // under mutex_

    mutable std::mutex mutex_;
    std::deque<Command> queue_;
    std::size_t bytes_ = 0;
    bool closed_ = false;
    std::atomic<std::size_t> count_{0};
};

}  // namespace tern

#endif
