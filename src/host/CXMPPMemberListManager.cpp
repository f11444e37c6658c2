#include "host/CXMPPMemberListManager.h"

#include <algorithm>
#include <new>

namespace tern {

bool CXMPPMemberListManager::IdentifierLink::matches(std::u16string_view identifier) const {
    return static_cast<const Member*>(this)->carries(identifier);
}

std::u16string CXMPPMemberListManager::Member::nickname() const {
    if (wide) return std::u16string(reinterpret_cast<const char16_t*>(this + 1), nicknameLength);
    const unsigned char* text = reinterpret_cast<const unsigned char*>(this + 1);
    return std::u16string(text, text + nicknameLength);
}

std::u16string CXMPPMemberListManager::Member::identifier() const {
    if (wide) return std::u16string(reinterpret_cast<const char16_t*>(this + 1) + idStart, idLength);
    const unsigned char* text = reinterpret_cast<const unsigned char*>(this + 1) + idStart;
    return std::u16string(text, text + idLength);
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
    m->affiliation = static_cast<std::int8_t>(affiliation);
    m->role = static_cast<std::int8_t>(role);
    m->wide = wide ? 1 : 0;
    return m;
}

CXMPPMemberListManager::Member* CXMPPMemberListManager::named(const std::u16string& identifier) const {
    IdentifierLink* first = identifiers_.find(identifier);
    return first && first->holders == 1 ? static_cast<Member*>(first) : nullptr;
}

// Into the identifier index: the first to carry it, or beside that one.
std::uint32_t CXMPPMemberListManager::link(Member* m, const std::u16string& identifier) {
    m->sameNext = m->samePrev = nullptr;
    const std::uint32_t hash = identifiers_.hashOf(std::u16string_view(identifier));
    IdentifierLink* first = identifiers_.findHashed(identifier, hash);
    if (!first) {
        m->holders = 1;
        identifiers_.insert(m, hash);
        return 1;
    }
    m->samePrev = static_cast<Member*>(first);
    m->sameNext = first->sameNext;
    if (m->sameNext) m->sameNext->samePrev = m;
    first->sameNext = m;
    return ++first->holders;
}

void CXMPPMemberListManager::unlink(Member* m) {
    if (m->samePrev) {
        m->samePrev->sameNext = m->sameNext;
        if (m->sameNext) m->sameNext->samePrev = m->samePrev;
        // The indexed one is found by the identifier, not by walking.
        const std::u16string identifier = m->identifier();
        if (IdentifierLink* first = identifiers_.find(identifier)) --first->holders;
        return;
    }
    Member* successor = m->sameNext;
    if (!successor) {
        identifiers_.erase(m);
        return;
    }
    successor->holders = m->holders - 1;
    successor->samePrev = nullptr;
    identifiers_.replace(m, successor);
}

void CXMPPMemberListManager::erase(Member* m) {
    unlink(m);
    members_.erase(m);
}

bool CXMPPMemberListManager::contains(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identifiers_.find(identifier) != nullptr;
}

int CXMPPMemberListManager::holders(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const IdentifierLink* first = identifiers_.find(identifier);
    return first ? static_cast<int>(first->holders) : 0;
}

int CXMPPMemberListManager::roleOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = named(identifier);
    return m ? m->role : 0;
}

int CXMPPMemberListManager::affiliationOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = named(identifier);
    return m ? m->affiliation : 0;
}

std::optional<std::u16string> CXMPPMemberListManager::nicknameOf(const std::u16string& identifier) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = named(identifier);
    if (!m) return std::nullopt;
    return m->nickname();
}

// The user part is not kept: nothing asks for it.
int CXMPPMemberListManager::addMember(const std::u16string&, const std::u16string& nickname,
                                      const std::u16string& identifier, int affiliation, int role, bool ours) {
    Member* m = makeMember(nickname, identifier, affiliation, role);
    const std::uint32_t hash = members_.hashOf(std::u16string_view(nickname));
    std::lock_guard<std::mutex> lock(mutex_);
    if (members_.size() >= kMaxMembers + (ours ? 1 : 0) || members_.findHashed(nickname, hash)) {
        ::operator delete(static_cast<void*>(m));
        return 0;
    }
    members_.insert(m, hash);
    return static_cast<int>(link(m, identifier));
}

void CXMPPMemberListManager::updateMember(const std::u16string&, const std::u16string& nickname,
                                          const std::u16string& identifier, int affiliation, int role) {
    std::lock_guard<std::mutex> lock(mutex_);
    Member* m = named(identifier);
    if (!m) return;
    if (!m->matches(nickname)) {
        if (members_.find(nickname)) return;  // another member's: nicknames stay unique
        erase(m);
        m = makeMember(nickname, identifier, affiliation, role);
        members_.insert(m, members_.hashOf(std::u16string_view(nickname)));
        link(m, identifier);
        return;
    }
    m->affiliation = static_cast<std::int8_t>(affiliation);
    m->role = static_cast<std::int8_t>(role);
}

void CXMPPMemberListManager::removeMember(const std::u16string& identifier) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Member* m = named(identifier)) erase(m);
}

std::optional<int> CXMPPMemberListManager::roleOfMember(const std::u16string& nickname) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Member* m = members_.find(nickname);
    if (!m) return std::nullopt;
    return m->role;
}

void CXMPPMemberListManager::setRank(const std::u16string& nickname, int affiliation, int role) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Member* m = members_.find(nickname)) {
        m->affiliation = static_cast<std::int8_t>(affiliation);
        m->role = static_cast<std::int8_t>(role);
    }
}

int CXMPPMemberListManager::removeNickname(const std::u16string& nickname) {
    std::lock_guard<std::mutex> lock(mutex_);
    Member* m = members_.find(nickname);
    if (!m) return 0;
    const IdentifierLink* first = identifiers_.find(m->identifier());
    const int before = first ? static_cast<int>(first->holders) : 1;
    erase(m);
    return before;
}

void CXMPPMemberListManager::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    identifiers_.clear();
    members_.clear();
}

int CXMPPMemberListManager::count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(members_.size());
}

}  // namespace tern
