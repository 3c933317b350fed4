#pragma once
// One move-only owner for every kind of platform handle. Each kind supplies a
// tiny traits struct saying what its empty value is and how it is closed, so a
// handle is released exactly once, on every path, in reverse order of creation.

#include <utility>

namespace zelk {

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;

    Unique() = default;
    explicit Unique(Type value) : value_(value) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Unique() { reset(); }

    Type get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::empty(); }

    // For out-parameters: closes what was held, then lends the slot.
    Type* put() {
        reset();
        return &value_;
    }
    Type release() { return std::exchange(value_, Traits::empty()); }
    void reset(Type value = Traits::empty()) {
        Type old = std::exchange(value_, value);
        if (old != Traits::empty()) {
            Traits::close(old);
        }
    }

private:
    Type value_ = Traits::empty();
};

}  // namespace zelk
