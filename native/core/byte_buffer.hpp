// A growing byte buffer for output text, written through raw pointers after one size check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace nerit::core {

// Copies the first and the last word of `n` bytes (n between one and two words), which
// together cover them all.
template <class Word>
inline void copy_ends(char* out, const char* in, std::size_t n) noexcept {
    Word head = 0;
    Word tail = 0;
    std::memcpy(&head, in, sizeof(Word));
    std::memcpy(&tail, in + n - sizeof(Word), sizeof(Word));
    std::memcpy(out, &head, sizeof(Word));
    std::memcpy(out + n - sizeof(Word), &tail, sizeof(Word));
}

// Copies `text` to `out` and returns the end of the copy. Short texts (most event values) are
// copied by overlapping word moves instead of a call.
inline char* put(char* out, std::string_view text) noexcept {
    const std::size_t n = text.size();
    const char* in = text.data();
    if (n > 16) {
        std::memcpy(out, in, n);
    } else if (n >= 8) {
        copy_ends<std::uint64_t>(out, in, n);
    } else if (n >= 4) {
        copy_ends<std::uint32_t>(out, in, n);
    } else if (n > 0) {
        out[0] = in[0];
        out[n / 2] = in[n / 2];
        out[n - 1] = in[n - 1];
    }
    return out + n;
}

class ByteBuffer {
  public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    const char* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::string_view view() const noexcept { return {data_.get(), size_}; }
    void clear() noexcept { size_ = 0; }
    // Drops what was written after `size` bytes.
    void truncate(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }

    // Drops the first `count` bytes, keeping the rest in order.
    void drop_front(std::size_t count) noexcept {
        if (count >= size_) {
            size_ = 0;
            return;
        }
        std::memmove(data_.get(), data_.get() + count, size_ - count);
        size_ -= count;
    }

    // Makes room for `count` more bytes and returns where they go; they count as written.
    // May throw std::bad_alloc.
    char* extend(std::size_t count) {
        if (capacity_ - size_ < count) grow(count);
        char* at = data_.get() + size_;
        size_ += count;
        return at;
    }

    void append(std::string_view text) { put(extend(text.size()), text); }
    void push_back(char c) { *extend(1) = c; }

  private:
    void grow(std::size_t count) {
        std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
        while (capacity - size_ < count) capacity *= 2;
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<char[]> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace nerit::core
