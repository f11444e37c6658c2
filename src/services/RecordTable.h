// A hash table for what a session keeps per room occupant, sized for rooms
// of thousands: each record is one allocation that carries its own key text
// after it, chained in its bucket, so it costs its size and a bucket
// pointer, not also a standard container's node and a string's buffer.
// Records with equal keys keep the order they came in; find answers with
// the first.
//
// A Record is a trivially destructible header made by ::operator new with
// its text after it, and provides `Record* next`, `std::uint32_t hash` (set
// by the table) and `bool matches(Key) const`. A table that does not own
// its records (Owns false) only links them: another table, or the record's
// owner, releases them. Not thread-safe.
#ifndef TERN_SERVICES_RECORDTABLE_H
#define TERN_SERVICES_RECORDTABLE_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <vector>

#include "client/SipHash.h"

namespace tern {

template <typename Record, typename Key, bool Owns = true>
class RecordTable {
public:
    RecordTable() = default;
    ~RecordTable() { clear(); }
    RecordTable(const RecordTable&) = delete;
    RecordTable& operator=(const RecordTable&) = delete;

    // Keyed: the keys are nicknames and identifiers others choose, and
    // must not be able to pile into one chain.
    template <typename Unit>
    static std::uint32_t hashOf(std::basic_string_view<Unit> key) {
        const std::uint64_t h =
            sipHash24(std::string_view(reinterpret_cast<const char*>(key.data()), key.size() * sizeof(Unit)));
        return static_cast<std::uint32_t>(h ^ (h >> 32));
    }

    std::size_t size() const { return size_; }

    Record* find(const Key& key) const {
        return find(key, [](const Record&) { return true; });
    }
    // The same for a key whose hash the caller has (as insert takes it).
    Record* findHashed(const Key& key, std::uint32_t h) const {
        if (buckets_.empty()) return nullptr;
        for (Record* r = buckets_[h & (buckets_.size() - 1)]; r; r = r->next)
            if (r->hash == h && r->matches(key)) return r;
        return nullptr;
    }
    // The first record with the key that also suits pick.
    template <typename Pick>
    Record* find(const Key& key, Pick&& pick) const {
        if (buckets_.empty()) return nullptr;
        const std::uint32_t h = hashOf(key);
        for (Record* r = buckets_[h & (buckets_.size() - 1)]; r; r = r->next)
            if (r->hash == h && r->matches(key) && pick(*r)) return r;
        return nullptr;
    }

    // Takes the record, whose key hashes to hash; it goes after any record
    // with an equal key.
    void insert(Record* record, std::uint32_t hash) {
        // Two records a bucket on average: chains stay short, buckets cost
        // a few bytes a record.
        if (size_ >= 2 * buckets_.size()) rehash(buckets_.empty() ? 8 : buckets_.size() * 2);
        record->hash = hash;
        link(record);
        ++size_;
    }

    // Puts fresh (same key) where old was, and releases old (when owned).
    void replace(Record* old, Record* fresh) {
        Record** at = slotOf(old);
        fresh->hash = old->hash;
        fresh->next = old->next;
        *at = fresh;
        release(old);
    }

    void erase(Record* record) {
        Record** at = slotOf(record);
        *at = record->next;
        release(record);
        --size_;
    }

    template <typename Visit>
    void forEach(Visit&& visit) const {
        for (Record* head : buckets_)
            for (const Record* r = head; r; r = r->next) visit(*r);
    }
    template <typename Visit>
    void forEach(Visit&& visit) {
        for (Record* head : buckets_)
            for (Record* r = head; r; r = r->next) visit(*r);
    }

    // Erases the records for which pick, shown each record, says true.
    template <typename Pick>
    void eraseIf(Pick&& pick) {
        for (Record*& head : buckets_) {
            for (Record** at = &head; *at;) {
                Record* r = *at;
                if (!pick(*r)) {
                    at = &r->next;
                    continue;
                }
                *at = r->next;
                release(r);
                --size_;
            }
        }
    }

    void clear() {
        for (Record* head : buckets_)
            while (head) {
                Record* next = head->next;
                release(head);
                head = next;
            }
        std::vector<Record*>().swap(buckets_);
        size_ = 0;
    }

private:
    static void release(Record* r) {
        if constexpr (Owns) ::operator delete(static_cast<void*>(r));
        else (void)r;
    }

    Record** slotOf(const Record* record) {
        Record** at = &buckets_[record->hash & (buckets_.size() - 1)];
        while (*at != record) at = &(*at)->next;
        return at;
    }

    // Appends, so that equal keys keep their order.
    void link(Record* record) {
        Record** at = &buckets_[record->hash & (buckets_.size() - 1)];
        while (*at) at = &(*at)->next;
        record->next = nullptr;
        *at = record;
    }

    void rehash(std::size_t count) {
        std::vector<Record*> old(count, nullptr);
        old.swap(buckets_);
        for (Record* head : old)
            while (head) {
                Record* next = head->next;
                link(head);
                head = next;
            }
    }

    std::vector<Record*> buckets_;  // a power of two of them, or none
    std::size_t size_ = 0;
};

}  // namespace tern

#endif
