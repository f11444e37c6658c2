// The session's record of who is in the room and with which rights, keyed
// by the 36-character occupant identifier embedded in every nickname. Filled
// on the receiving thread, read by the host's threads; every operation takes
// the list's lock for its whole duration.
#ifndef TERN_HOST_CXMPPMEMBERLISTMANAGER_H
#define TERN_HOST_CXMPPMEMBERLISTMANAGER_H

#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
    void clear();
    int count() const;

private:
    struct Member {
        std::u16string user;
        std::u16string nickname;
        std::u16string identifier;
        int affiliation;
        int role;
    };
    // First entry with the identifier (the list's order is the order of arrival).
    const Member* find(const std::u16string& identifier) const;

    mutable std::mutex mutex_;
    std::vector<Member> members_;
};

}  // namespace tern

#endif
