// A text that is consumed from the front and appended at the back: the client buffers and
// the switcher buffer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

// Consuming is O(1) amortised, so a long run of input worked off piece by piece costs
// O(length) overall.
class TextBuffer {
  public:
    std::string_view view() const { return std::string_view(data_).substr(head_); }
    std::size_t size() const { return data_.size() - head_; }
    bool empty() const { return size() == 0; }
    char operator[](std::size_t i) const { return data_[head_ + i]; }
    void append(std::string_view s) { data_.append(s); }
    void assign(std::string_view s) {
        data_.assign(s);
        head_ = 0;
    }
    void clear() {
        data_.clear();
        head_ = 0;
    }
    // Empties the buffer and gives its memory back.
    void release() {
        std::string().swap(data_);
        head_ = 0;
    }
    // Removes the first n characters (all of them when n >= size()).
    void consume(std::size_t n) {
        if (n >= size()) {
            clear();
            return;
        }
        head_ += n;
        if (head_ >= kCompactAfter && head_ * 2 >= data_.size()) {
            data_.erase(0, head_);
            head_ = 0;
        }
    }
    friend bool operator==(const TextBuffer& b, std::string_view s) { return b.view() == s; }

  private:
    // Consumed text is dropped once it is this long and at least half the storage.
    static constexpr std::size_t kCompactAfter = 4096;
    std::string data_;
    std::size_t head_ = 0;
};

}  // namespace qv
