// The text of the event for a room message, built for every message that
// arrives: the sender and body converted from UTF-8 in one pass into one
// buffer, which is kept from message to message.
#ifndef PARLEY_HOST_ROOMMESSAGETEXT_H
#define PARLEY_HOST_ROOMMESSAGETEXT_H

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tern {

class RoomMessageText {
public:
    // ownTail: the last code units of our own nickname, which tell our echo.
    void setOwnTail(std::u16string ownTail) { ownTail_ = std::move(ownTail); }

    // Calls raise(code, text) for nick's body, unless it is our own echo:
    // "NICKNAME=<nick>_tok_<body>", or the body alone for a tagged
    // ("<tc>...</tc>") or control ("ca:...") message.
    template <typename Raise>
    void deliver(std::string_view nick, std::string_view body, Raise&& raise) {
        std::u16string local;
        const bool reuse = !busy_.exchange(true, std::memory_order_acquire);
        std::u16string& text = reuse ? buffer_ : local;  // a nested delivery gets its own
        struct Done {
            RoomMessageText* self;
            ~Done() {
                if (self) self->release();
            }
        } done{reuse ? this : nullptr};
        std::int32_t code = 0;
        if (build(nick, body, text, code)) raise(code, text);
    }

private:
    bool build(std::string_view nick, std::string_view body, std::u16string& text, std::int32_t& code) const;
    void release();

    std::u16string ownTail_;
    std::u16string buffer_;
    std::atomic<bool> busy_{false};
};

}  // namespace tern

#endif
