// The session's record of who is in the room and with which rights. The
// host names occupants by the 36-character identifier embedded in every
// nickname, but an identifier is only text that each occupant chooses: two
// may show the same one. So members are kept by nickname, which the room
// keeps unique, and indexed by identifier with the number of members that
// carry it; an identifier carried by more than one names nobody. Every
// presence costs a bounded amount whatever identifiers occupants choose,
// and the list holds at most kMaxMembers (our own occupant still gets in).
// Filled on the receiving thread, read by the host's threads; every
// operation takes the list's lock for its whole duration.
#ifndef TERN_HOST_CXMPPMEMBERLISTMANAGER_H
#define TERN_HOST_CXMPPMEMBERLISTMANAGER_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "services/RecordTable.h"
#include "services/RoomOccupants.h"

namespace tern {

class CXMPPMemberListManager {
public:
    static constexpr std::size_t kMaxMembers = RoomOccupants::kMaxOccupants;

    // By identifier, for the occupant it names: the one member that carries
    // it. Carried by two or more, it names nobody (role and affiliation 0,
    // no nickname, nothing updated or removed); contains still says that
    // it is in use.
    bool contains(const std::u16string& identifier) const;
    int holders(const std::u16string& identifier) const;
    int roleOf(const std::u16string& identifier) const;
    int affiliationOf(const std::u16string& identifier) const;
    // A copy of the full nickname (the list may change right after).
    std::optional<std::u16string> nicknameOf(const std::u16string& identifier) const;
    // How many carry the identifier once it is added; 0 when not added:
    // the nickname is listed already, or the list is full (ours: our own
    // occupant, which may take one place more).
    int addMember(const std::u16string& user, const std::u16string& nickname, const std::u16string& identifier,
                  int affiliation, int role, bool ours = false);
    void updateMember(const std::u16string& user, const std::u16string& nickname, const std::u16string& identifier,
                      int affiliation, int role);
    void removeMember(const std::u16string& identifier);

    // By nickname: exactly one member, whatever identifier it shows.
    std::optional<int> roleOfMember(const std::u16string& nickname) const;
    void setRank(const std::u16string& nickname, int affiliation, int role);
    // How many members carried its identifier before it went; 0 when the
    // nickname was not listed.
    int removeNickname(const std::u16string& nickname);

    void clear();
    int count() const;

private:
    struct Member;
    // A member's place in the identifier index: only the first member to
    // carry an identifier is in the index; the others hang on it.
    struct IdentifierLink {
        IdentifierLink* next;
        std::uint32_t hash;
        std::uint32_t holders;  // in the indexed member: how many carry the identifier
        Member* sameNext;       // the others that carry it
        Member* samePrev;       // null for the indexed member
        bool matches(std::u16string_view identifier) const;
    };
    // One allocation per member: these numbers, then the nickname and,
    // unless the nickname holds it (as hosts compose nicknames, it does),
    // the identifier. The text is kept in 8 bits when every unit fits, as
    // identifiers and most nicknames do.
    struct Member : IdentifierLink {
        Member* next;  // in the nickname table (hides the link's)
        std::uint32_t hash;
        std::uint32_t nicknameLength : 31;
        std::uint32_t wide : 1;  // 16-bit text
        std::uint32_t idStart;
        std::uint32_t idLength;
        std::int8_t affiliation;
        std::int8_t role;
        std::u16string nickname() const;
        std::u16string identifier() const;
        // Whether the text from start on begins with these units.
        bool holdsAt(std::size_t start, std::u16string_view units) const;
        bool matches(std::u16string_view nick) const { return nick.size() == nicknameLength && holdsAt(0, nick); }
        bool carries(std::u16string_view identifier) const {
            return identifier.size() == idLength && holdsAt(idStart, identifier);
        }
    };
    static Member* makeMember(const std::u16string& nickname, const std::u16string& identifier, int affiliation,
                              int role);
    // The member the identifier names, or null.
    Member* named(const std::u16string& identifier) const;
    // Returns how many carry the identifier now.
    std::uint32_t link(Member* m, const std::u16string& identifier);
    void unlink(Member* m);
    void erase(Member* m);

    mutable std::mutex mutex_;
    RecordTable<Member, std::u16string_view> members_;                       // by nickname; owns them
    RecordTable<IdentifierLink, std::u16string_view, false> identifiers_;  // by identifier
};

}  // namespace tern

#endif
