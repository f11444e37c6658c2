#include "services/RoomOccupants.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace tern {

namespace {

// Only compared, to tell a repeated presence: a collision at worst drops a
// changed status that came within a repeat's window.
std::uint32_t hashStatus(const std::string& status) {
    return static_cast<std::uint32_t>(std::hash<std::string>()(status));
}

bool byNick(const OccupantInfo& a, const OccupantInfo& b) { return a.nick.resource() < b.nick.resource(); }

}  // namespace

RoomOccupants::Record* RoomOccupants::make(const std::string& nick, const std::string& jid) {
    void* block = ::operator new(sizeof(Record) + nick.size() + jid.size() + 1);
    Record* r = new (block) Record{};
    char* text = reinterpret_cast<char*>(r + 1);
    std::memcpy(text, nick.data(), nick.size());
    std::memcpy(text + nick.size(), jid.data(), jid.size());
    text[nick.size() + jid.size()] = '\0';
    r->nickLength = static_cast<std::uint32_t>(nick.size());
    return r;
}

RoomOccupants::Change RoomOccupants::update(const OccupantInfo& info, PresenceShow show, bool marked,
                                            std::size_t elsewhere) {
    if (room_.empty()) room_ = JID(info.nick.bare());
    const std::string& nick = info.nick.resource();
    static const std::string kNone;
    const std::string& jid = info.jid ? info.jid->full() : kNone;
    const std::uint32_t status = hashStatus(info.status);
    Change change;
    Record* r = records_.find(nick);
    if (r) {
        const bool sameJid = r->hasJid == bool(info.jid) && jid == r->jid();
        change.sameRank = r->role == info.role && r->affiliation == info.affiliation;
        change.samePresence = change.sameRank && r->show == show && r->statusHash == status && sameJid;
        if (!sameJid) {
            Record* fresh = make(nick, jid);
            fresh->marked = r->marked;
            records_.replace(r, fresh);
            r = fresh;
        }
    } else {
        if (records_.size() + elsewhere >= kMaxOccupants + ((info.flags & UserSelf) ? 1 : 0)) {
            change.recorded = false;
            return change;
        }
        r = make(nick, jid);
        records_.insert(r, records_.hashOf(std::string_view(nick)));
    }
    r->tc = info.tc;
    r->statusHash = status;
    r->role = static_cast<std::int8_t>(info.role);
    r->affiliation = static_cast<std::int8_t>(info.affiliation);
    r->show = static_cast<std::int8_t>(show);
    r->hasJid = bool(info.jid);
    r->marked = r->marked || marked;
    return change;
}

std::optional<JID> RoomOccupants::erase(const std::string& nick) {
    Record* r = records_.find(nick);
    if (!r) return std::nullopt;
    std::optional<JID> jid;
    if (r->hasJid) jid = JID(std::string(r->jid()));
    records_.erase(r);
    return jid;
}

std::optional<OccupantInfo> RoomOccupants::take(const std::string& nick) {
    Record* r = records_.find(nick);
    if (!r) return std::nullopt;
    OccupantInfo o = gone(*r);
    records_.erase(r);
    return o;
}

OccupantInfo RoomOccupants::gone(const Record& r) const {
    OccupantInfo o;
    o.nick = JID(room_.username(), room_.server(), std::string(r.nick(), r.nickLength));
    o.role = r.role;
    o.affiliation = r.affiliation;
    o.tc = r.tc;
    if (r.hasJid) o.jid = JID(std::string(r.jid()));
    return o;
}

std::vector<OccupantInfo> RoomOccupants::all() const {
    std::vector<OccupantInfo> out;
    out.reserve(records_.size());
    records_.forEach([&](const Record& r) { out.push_back(gone(r)); });
    std::sort(out.begin(), out.end(), byNick);
    return out;
}

void RoomOccupants::unmarkAll() {
    records_.forEach([](Record& r) { r.marked = false; });
}

std::vector<OccupantInfo> RoomOccupants::dropUnmarked() {
    std::vector<OccupantInfo> out;
    records_.eraseIf([&](Record& r) {
        if (r.marked) {
            r.marked = false;
            return false;
        }
        out.push_back(gone(r));
        return true;
    });
    std::sort(out.begin(), out.end(), byNick);
    return out;
}

}  // namespace tern
