#include "host/CXMPPMemberListManager.h"

#include <algorithm>
#include <new>

namespace tern {

std::u16string CXMPPMemberListManager::Member::nickname() const {
    if (wide) return std::u16string(reinterpret_cast<const char16_t*>(this + 1), nicknameLength);
    const unsigned char* text = reinterpret_cast<const unsigned char*>(this + 1);
    return std::u16string(text, text + nicknameLength);
}

bool CXMPPMemberListManager::Member::holdsAt(std::size_t start, std::u16string_view units) const {
    if (wide) return std::equal(units.begin(), units.end(), reinterpret_cast<const char16_t*>(this + 1) + start);
    return std::equal(units.begin(), units.end(), reinterpret_cast<const unsigned char*>(this + 1) + start);
}

CXMPPMemberListManager::Member* CXMPPMemberListManager::makeMember(const std::u16string& nickname,
                                                                   const std::u16string& identifier, int affiliation,
                                                                   int role) {
    const std::size_t inside = nickname.rfind(identifier);
    std::u16string text = nickname;
    if (inside == std::u16string::npos) text += identifier;
    const bool wide = std::any_of(text.begin(), text.end(), [](char16_t c) { return c > 0xFF; });
    void* block = ::operator new(sizeof(Member) + text.size() * (wide ? 2 : 1));
    Member* m = new (block) Member{};
    if (wide)
        std::copy(text.begin(), text.end(), reinterpret_cast<char16_t*>(m + 1));
    else
        std::transform(text.begin(), text.end(), reinterpret_cast<unsigned char*>(m + 1),
                       [](char16_t c) { return static_cast<unsigned char>(c); });
    m->nicknameLength = static_cast<std::uint32_t>(nickname.size()) & 0x7FFFFFFFu;
    m->idStart = static_cast<std::uint32_t>(inside == std::u16string::npos ? nickname.size() : inside);
    m->idLength = static_cast<std::uint32_t>(identifier.size());
    m->affiliation = affiliation;
    m->role = role;
    m->wide = wide ? 1 : 0;
    return m;
}

bool CXMPPMemberListManager::contains(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return members_.find(identifier) != nullptr;
}

int CXMPPMemberListManager::roleOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = members_.find(identifier);
    return m ? m->role : 0;
}

int CXMPPMemberListManager::affiliationOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = members_.find(identifier);
    return m ? m->affiliation : 0;
}

std::optional<std::u16string> CXMPPMemberListManager::nicknameOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = members_.find(identifier);
    if (!m) return std::nullopt;
    return m->nickname();
}

// The user part is not kept: nothing asks for it.
void CXMPPMemberListManager::addMember(const std::u16string&, const std::u16string& nickname,
                                       const std::u16string& identifier, int affiliation, int role) {
    Member* m = makeMember(nickname, identifier, affiliation, role);
    const std::uint32_t hash = members_.hashOf(std::u16string_view(identifier));
    std::lock_guard<std::mutex> lock(mutex_);
    members_.insert(m, hash);  // after any with the same identifier
}

void CXMPPMemberListManager::updateMember(const std::u16string&, const std::u16string& nickname,
                                          const std::u16string& identifier, int affiliation, int role) {
    std::lock_guard<std::mutex> lock(mutex_);
    Member* m = members_.find(identifier);
    if (!m) return;
    if (m->nicknameLength != nickname.size() || !m->holdsAt(0, nickname)) {
        members_.replace(m, makeMember(nickname, identifier, affiliation, role));
        return;
    }
    m->affiliation = affiliation;
    m->role = role;
}

void CXMPPMemberListManager::removeMember(const std::u16string& identifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Member* m = members_.find(identifier)) members_.erase(m);
}

CXMPPMemberListManager::Member* CXMPPMemberListManager::findMember(const std::u16string& identifier,
                                                                   const std::u16string& nickname) const {
    return members_.find(identifier, [&](const Member& m) {
        return m.nicknameLength == nickname.size() && m.holdsAt(0, nickname);
    });
}

std::optional<int> CXMPPMemberListManager::roleOfMember(const std::u16string& identifier,
                                                        const std::u16string& nickname) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = findMember(identifier, nickname);
    if (!m) return std::nullopt;
    return m->role;
}

void CXMPPMemberListManager::setRank(const std::u16string& identifier, const std::u16string& nickname, int affiliation,
                                     int role) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Member* m = findMember(identifier, nickname)) {
        m->affiliation = affiliation;
        m->role = role;
    }
}

void CXMPPMemberListManager::removeMember(const std::u16string& identifier, const std::u16string& nickname) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Member* m = findMember(identifier, nickname)) members_.erase(m);
}

void CXMPPMemberListManager::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    members_.clear();
}

int CXMPPMemberListManager::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(members_.size());
}

}  // namespace tern
