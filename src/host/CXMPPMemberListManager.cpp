#include "host/CXMPPMemberListManager.h"

#include <algorithm>

namespace tern {

const CXMPPMemberListManager::Member* CXMPPMemberListManager::find(const std::u16string& identifier) const {
    for (const Member& m : members_)
        if (m.identifier == identifier) return &m;
    return nullptr;
}

bool CXMPPMemberListManager::contains(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return find(identifier) != nullptr;
}

int CXMPPMemberListManager::roleOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = find(identifier);
    return m ? m->role : 0;
}

int CXMPPMemberListManager::affiliationOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = find(identifier);
    return m ? m->affiliation : 0;
}

std::optional<std::u16string> CXMPPMemberListManager::nicknameOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = find(identifier);
    if (!m) return std::nullopt;
    return m->nickname;
}

void CXMPPMemberListManager::addMember(const std::u16string& user, const std::u16string& nickname,
                                       const std::u16string& identifier, int affiliation, int role) {
    std::lock_guard<std::mutex> lock(mutex_);
    members_.push_back({user, nickname, identifier, affiliation, role});
}

void CXMPPMemberListManager::updateMember(const std::u16string& user, const std::u16string& nickname,
                                          const std::u16string& identifier, int affiliation, int role) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Member& m : members_) {
        if (m.identifier != identifier) continue;
        if (m.user != user) m.user = user;
        if (m.nickname != nickname) m.nickname = nickname;
        m.affiliation = affiliation;
        m.role = role;
        return;
    }
}

void CXMPPMemberListManager::removeMember(const std::u16string& identifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(members_.begin(), members_.end(), [&](const Member& m) { return m.identifier == identifier; });
    if (it != members_.end()) members_.erase(it);
}

void CXMPPMemberListManager::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Member>().swap(members_);
}

int CXMPPMemberListManager::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(members_.size());
}

}  // namespace tern
