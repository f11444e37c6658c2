// The occupants of one room as one session knows them: what reconciling a
// rejoin with what the room's handler already heard needs, and what it
// takes to report an occupant gone. A room of thousands is the case to
// size for, so each occupant is one allocation, its numbers with its
// nickname and real address after them, found by nickname in constant time.
// A room may hold more than a session keeps: past kMaxOccupants newcomers
// are not recorded (our own occupant still is), so that no room can make
// a session hold without bound; a limit shared with occupants kept
// elsewhere (missing after a rejoin) counts those too.
//
// Not thread-safe: its owner locks.
#ifndef TERN_SERVICES_ROOMOCCUPANTS_H
#define TERN_SERVICES_ROOMOCCUPANTS_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "services/MUCRoom.h"
#include "services/RecordTable.h"

namespace tern {

class RoomOccupants {
public:
    static constexpr std::size_t kMaxOccupants = 10000;

    // How a presence compares with what was known of its occupant.
    struct Change {
        bool sameRank = false;      // known, with this role and affiliation
        bool samePresence = false;  // ... and this show, status and real address
        bool recorded = true;       // false: a newcomer past the limit
    };

    // Records an available presence; marked tells a rejoin's occupant list.
    // Newcomers fit while this table and elsewhere hold fewer than the limit.
    Change update(const OccupantInfo& info, PresenceShow show, bool marked, std::size_t elsewhere = 0);
    // Forgets the occupant; its real address, when it was known.
    std::optional<JID> erase(const std::string& nick);
    // Forgets the occupant and returns it as gone, when it was known.
    std::optional<OccupantInfo> take(const std::string& nick);
    void clear() { records_.clear(); }
    std::size_t size() const { return records_.size(); }

    // Everyone known, as gone: flags and new nickname clear, by nickname.
    std::vector<OccupantInfo> all() const;
    // A rejoin begins: nobody has been listed again yet.
    void unmarkAll();
    // The rejoin's list is complete: those not in it are dropped and
    // returned as gone, by nickname.
    std::vector<OccupantInfo> dropUnmarked();

private:
    struct Record {
        Record* next;
        std::uint32_t hash;
        std::uint32_t nickLength;
        std::int32_t tc;
        std::uint32_t statusHash;
        std::int8_t role;
        std::int8_t affiliation;
        std::int8_t show;
        bool hasJid;
        bool marked;
        // After the header: the nickname, then the real address and a zero.
        const char* nick() const { return reinterpret_cast<const char*>(this + 1); }
        const char* jid() const { return nick() + nickLength; }
        bool matches(std::string_view key) const { return key == std::string_view(nick(), nickLength); }
    };
    static Record* make(const std::string& nick, const std::string& jid);
    OccupantInfo gone(const Record& r) const;

    JID room_;  // the room's bare address, from the first presence
    RecordTable<Record, std::string_view> records_;
};

}  // namespace tern

#endif
