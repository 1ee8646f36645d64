// AddressTable: the platform's records keyed by an object's address (live pool blocks, IRPs,
// MDLs), as one open-addressed array. Every request allocates and frees a few of those objects,
// and a node-based map would allocate and free a node for each record besides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace qv {

struct NoValue {};

template <typename V = NoValue>
class AddressTable {
public:
    // The record of `key`, or nullptr.
    V *find(const void *key)
    {
        Slot *slot = FindSlot(key);
        return slot != nullptr ? &slot->Value : nullptr;
    }
    bool count(const void *key) { return find(key) != nullptr; }

    // Adds the record, or replaces the one `key` has; true when it was new. The two addresses
    // that mark slots (0 and 1) are never keys.
    bool insert(const void *key, const V &value = V{})
    {
        if (!Usable(key)) return false;
        if (V *existing = find(key)) {
            *existing = value;
            return false;
        }
        if ((used_ + 1) * 2 > slots_.size()) Grow();
        size_t i = Home(key);
        while (slots_[i].Key != nullptr && slots_[i].Key != Removed()) i = (i + 1) & mask_;
        if (slots_[i].Key == nullptr) ++used_;
        slots_[i] = Slot{key, value};
        ++size_;
        return true;
    }

    // Takes the record out, into *taken when given; false when `key` has none.
    bool erase(const void *key, V *taken = nullptr)
    {
        Slot *slot = FindSlot(key);
        if (slot == nullptr) return false;
        if (taken != nullptr) *taken = slot->Value;
        slot->Key = Removed();
        slot->Value = V{};
        --size_;
        return true;
    }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear()
    {
        slots_.clear();
        mask_ = 0;
        used_ = size_ = 0;
    }
    // Calls f(key, value) for every record, in no particular order; f must not change the table.
    template <typename F>
    void ForEach(F f) const
    {
        for (const Slot &slot : slots_)
            if (slot.Key != nullptr && slot.Key != Removed()) f(slot.Key, slot.Value);
    }

private:
    struct Slot {
        const void *Key = nullptr;  // nullptr: never used; Removed(): free again, but probes go on
        V Value{};
    };

    Slot *FindSlot(const void *key)
    {
        if (used_ == 0 || !Usable(key)) return nullptr;
        for (size_t i = Home(key);; i = (i + 1) & mask_) {
            Slot &slot = slots_[i];
            if (slot.Key == key) return &slot;
            if (slot.Key == nullptr) return nullptr;
        }
    }

    static const void *Removed() { return reinterpret_cast<const void *>(uintptr_t(1)); }
    static bool Usable(const void *key) { return key != nullptr && key != Removed(); }

    size_t Home(const void *key) const
    {
        uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
        return size_t(h >> 32) & mask_;
    }

    // Doubles the array (or only drops the removed slots when they are what fills it).
    void Grow()
    {
        std::vector<Slot> old = std::move(slots_);
        size_t capacity = old.empty() ? 16 : (size_ + 1) * 4 > old.size() ? old.size() * 2 : old.size();
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        used_ = size_ = 0;
        for (const Slot &slot : old)
            if (slot.Key != nullptr && slot.Key != Removed()) insert(slot.Key, slot.Value);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;  // slots holding a record or a removal mark
    size_t size_ = 0;  // records
};

}  // namespace qv
