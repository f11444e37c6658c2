// The session's record of who is in the room and with which rights, keyed
// by the 36-character occupant identifier embedded in every nickname. Filled
// on the receiving thread, read by the host's threads; every operation takes
// the list's lock for its whole duration.
#ifndef TERN_HOST_CXMPPMEMBERLISTMANAGER_H
#define TERN_HOST_CXMPPMEMBERLISTMANAGER_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "services/RecordTable.h"

namespace tern {

class CXMPPMemberListManager {
public:
    bool contains(const std::u16string& identifier) const;
    int roleOf(const std::u16string& identifier) const;
    int affiliationOf(const std::u16string& identifier) const;
    // A copy of the full nickname (the list may change right after).
    std::optional<std::u16string> nicknameOf(const std::u16string& identifier) const;
    void addMember(const std::u16string& user, const std::u16string& nickname, const std::u16string& identifier,
                   int affiliation, int role);
    void updateMember(const std::u16string& user, const std::u16string& nickname, const std::u16string& identifier,
                      int affiliation, int role);
    void removeMember(const std::u16string& identifier);
    // The same for the member with this identifier under this very
    // nickname: an identifier is only text in a nickname, and another
    // account may show it too.
    std::optional<int> roleOfMember(const std::u16string& identifier, const std::u16string& nickname) const;
    void setRank(const std::u16string& identifier, const std::u16string& nickname, int affiliation, int role);
    void removeMember(const std::u16string& identifier, const std::u16string& nickname);
    void clear();
    int count() const;

private:
    // One allocation per member: these numbers, then the nickname and,
    // unless the nickname holds it (as hosts compose nicknames, it does),
    // the identifier. The text is kept in 8 bits when every unit fits, as
    // identifiers and most nicknames do.
    struct Member {
        Member* next;
        std::uint32_t hash;
        std::uint32_t nicknameLength : 31;
        std::uint32_t wide : 1;  // 16-bit text
        std::uint32_t idStart;
        std::uint32_t idLength;
        int affiliation;
        int role;
        std::u16string nickname() const;
        // Whether the text from start on begins with these units.
        bool holdsAt(std::size_t start, std::u16string_view units) const;
        bool matches(const std::u16string_view& identifier) const {
            return identifier.size() == idLength && holdsAt(idStart, identifier);
        }
    };
    Member* findMember(const std::u16string& identifier, const std::u16string& nickname) const;
    static Member* makeMember(const std::u16string& nickname, const std::u16string& identifier, int affiliation,
                              int role);

    mutable std::mutex mutex_;
    RecordTable<Member, std::u16string_view> members_;
};

}  // namespace tern

#endif
