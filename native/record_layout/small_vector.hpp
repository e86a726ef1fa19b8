// A short list kept inside its owner, moving to the heap only when it outgrows that room.
#pragma once

#include <cstddef>
#include <vector>

namespace nerit::layout {

template <typename T, std::size_t Inline>
class SmallVector {
  public:
    void clear() noexcept {
        size_ = 0;
        spilled_ = false;
        spill_.clear();
    }
    // May throw std::bad_alloc once the inline room is used up.
    void push_back(T value) {
        if (!spilled_ && size_ < Inline) {
            inline_[size_++] = value;
            return;
        }
        if (!spilled_) {
            spill_.assign(inline_, inline_ + size_);
            spilled_ = true;
        }
        spill_.push_back(value);
        ++size_;
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return spilled_ ? spill_.data() : inline_; }
    const T* data() const noexcept { return spilled_ ? spill_.data() : inline_; }
    T& operator[](std::size_t i) noexcept { return data()[i]; }
    const T& operator[](std::size_t i) const noexcept { return data()[i]; }
    T* begin() noexcept { return data(); }
    T* end() noexcept { return data() + size_; }
    const T* begin() const noexcept { return data(); }
    const T* end() const noexcept { return data() + size_; }

  private:
    T inline_[Inline];
    std::vector<T> spill_;
    std::size_t size_ = 0;
    bool spilled_ = false;
};

}  // namespace nerit::layout
