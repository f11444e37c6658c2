// The composed texts of the host's events. Hosts read a text's fields up to
// the separator "_tok_": whatever came from the wire and stands before the
// last field must not be able to end its field early or add one, so each
// "_tok_" in such a field has its underscores replaced by U+FF3F (a
// fullwidth low line, "＿tok＿"), which shows the user what was sent, and
// so has the first one of a "_tok" the field ends with (the separator that
// follows would complete it).
#ifndef PARLEY_HOST_EVENTTEXTS_H
#define PARLEY_HOST_EVENTTEXTS_H

#include <string>
#include <string_view>

namespace tern {

struct OccupantInfo;

constexpr std::u16string_view kFieldSeparator = u"_tok_";

// Rewrites every separator in the field in place (the length stays).
void disarmSeparators(char16_t* field, std::size_t length);
inline void disarmSeparators(std::u16string& field) { disarmSeparators(field.data(), field.size()); }

// "ID=" user "_tok_NICKNAME=" nick "_tok_NEWNICKNAME=" new nick, with every
// ":us" read ":ad" for a moderator.
std::u16string presenceText(const std::string& user, const std::string& nick, const std::string& newNick,
                            bool moderator);
// "NICKNAME=" nick "_tok_SUBJECT=" subject.
std::u16string subjectText(const std::string& nick, const std::string& subject);

}  // namespace tern

#endif
