// A set of kernel objects ordered by address, kept in one sorted array: the freed-memory check
// looks objects up by address range, and inserting or erasing one allocates nothing once the
// array has grown to the number in use. The owner's lock guards it.
#pragma once

#include <algorithm>
#include <vector>

namespace qv {

template <class T>
class AddressSet {
public:
    using const_iterator = typename std::vector<T *>::const_iterator;

    void insert(T *object)
    {
        auto it = std::lower_bound(items_.begin(), items_.end(), object);
        if (it == items_.end() || *it != object) items_.insert(it, object);
    }
    void erase(T *object)
    {
        auto it = std::lower_bound(items_.begin(), items_.end(), object);
        if (it != items_.end() && *it == object) items_.erase(it);
    }
    // The first object at or above `address`.
    const_iterator lower_bound(const void *address) const
    {
        return std::lower_bound(items_.begin(), items_.end(), address,
                                [](T *object, const void *a) { return static_cast<const void *>(object) < a; });
    }
    const_iterator end() const { return items_.end(); }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }

private:
    std::vector<T *> items_;
};

}  // namespace qv
