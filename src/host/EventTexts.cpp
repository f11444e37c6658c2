#include "host/EventTexts.h"

#include "host/TextCodec.h"

namespace tern {

namespace {

constexpr char16_t kFullwidthLowLine = u'\uFF3F';

std::u16string field(const std::string& utf8) {
    std::u16string text = utf8ToUtf16(utf8);
    disarmSeparators(text);
    return text;
}

void replaceAll(std::u16string& s, std::u16string_view from, std::u16string_view to) {
    for (std::size_t at = s.find(from); at != std::u16string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

}  // namespace

void disarmSeparators(char16_t* field, std::size_t length) {
    const std::u16string_view text(field, length);
    for (std::size_t at = text.find(kFieldSeparator); at != std::u16string_view::npos;
         at = text.find(kFieldSeparator, at + kFieldSeparator.size())) {
        field[at] = kFullwidthLowLine;
        field[at + kFieldSeparator.size() - 1] = kFullwidthLowLine;
    }
    // A field is always followed by a separator, whose "_" would finish a
    // trailing "_tok" into one: the only end that can join what follows.
    constexpr std::u16string_view kOpen = kFieldSeparator.substr(0, kFieldSeparator.size() - 1);
    if (text.size() >= kOpen.size() && text.substr(text.size() - kOpen.size()) == kOpen)
        field[length - kOpen.size()] = kFullwidthLowLine;
}

std::u16string presenceText(const std::string& user, const std::string& nick, const std::string& newNick,
                            bool moderator) {
    std::u16string text = u"ID=" + field(user) + u"_tok_NICKNAME=" + field(nick) + u"_tok_NEWNICKNAME=" +
                          utf8ToUtf16(newNick);
    if (moderator) replaceAll(text, u":us", u":ad");
    return text;
}

std::u16string subjectText(const std::string& nick, const std::string& subject) {
    return u"NICKNAME=" + field(nick) + u"_tok_SUBJECT=" + utf8ToUtf16(subject);
}

}  // namespace tern
