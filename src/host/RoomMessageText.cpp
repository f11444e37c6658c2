#include "host/RoomMessageText.h"

#include "host/EventTexts.h"
#include "host/TextCodec.h"
#include "parley.h"

namespace tern {

namespace {
constexpr std::size_t kOwnTail = 39;             // code units of a nickname that tell our echo
constexpr std::size_t kKeptBuffer = 4096;        // one very long message does not keep its buffer
constexpr std::u16string_view kPrefix = u"NICKNAME=", kSeparator = kFieldSeparator;
}  // namespace

bool RoomMessageText::build(std::string_view nick, std::string_view body, std::u16string& text,
                            std::int32_t& code) const {
    // No byte of UTF-8 makes more than one code unit: the sizes bound the text.
    text.resize(kPrefix.size() + nick.size() + kSeparator.size() + body.size());
    char16_t* const start = text.data();
    const std::size_t senderEnd = kPrefix.size() + utf8ToUtf16(nick, start + kPrefix.copy(start, kPrefix.size()));
    const std::u16string_view sender(start + kPrefix.size(), senderEnd - kPrefix.size());
    if (sender.substr(sender.size() > kOwnTail ? sender.size() - kOwnTail : 0) == ownTail_) return false;
    // The body is the last field and may hold anything; the sender may not end its field.
    if (sender.find(kFieldSeparator.substr(0, 4)) != std::u16string_view::npos)
        disarmSeparators(start + kPrefix.size(), sender.size());
    code = PARLEY_EVENT_CHAT_MESSAGE;
    if (body.substr(0, 4) == "<tc>" && body.size() >= 5 && body.substr(body.size() - 5) == "</tc>")
        code = PARLEY_EVENT_TAGGED_MESSAGE;
    else if (body.substr(0, 3) == "ca:")
        code = PARLEY_EVENT_CONTROL_MESSAGE;
    std::size_t at = code == PARLEY_EVENT_CHAT_MESSAGE ? senderEnd + kSeparator.copy(start + senderEnd, kSeparator.size()) : 0;
    at += utf8ToUtf16(body, start + at);
    text.resize(at);
    return true;
}

void RoomMessageText::release() {
    if (buffer_.capacity() > kKeptBuffer) std::u16string().swap(buffer_);
    busy_.store(false, std::memory_order_release);
}

}  // namespace tern
