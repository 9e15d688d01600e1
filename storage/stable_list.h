#pragma once
// A list that only grows at its end and never moves what it holds, in chunks of a fixed
// number of elements: records stay where they are while others are added (the trees point
// at them), and large lists spend no more than one chunk on room to spare. A std::deque
// keeps 512 bytes a chunk, five node records, with an allocation and a map entry for
// each five.
#include <cstddef>
#include <iterator>
#include <memory>
#include <vector>

namespace kestrel {

template <typename T, size_t kChunk = 512>
class StableList {
  public:
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = const T*;
        using reference = const T&;

        Iterator() = default;
        Iterator(const StableList* list, size_t at) : list_(list), at_(at) {}
        const T& operator*() const { return (*list_)[at_]; }
        const T* operator->() const { return &(*list_)[at_]; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++at_;
            return before;
        }
        bool operator==(const Iterator& other) const { return at_ == other.at_; }

      private:
        const StableList* list_ = nullptr;
        size_t at_ = 0;
    };

    T& emplace_back() {
        if (size_ == chunks_.size() * kChunk) chunks_.push_back(std::make_unique<T[]>(kChunk));
        T& added = chunks_[size_ / kChunk][size_ % kChunk];
        ++size_;
        return added;
    }
    void push_back(const T& value) { emplace_back() = value; }

    T& operator[](size_t at) { return chunks_[at / kChunk][at % kChunk]; }
    const T& operator[](size_t at) const { return chunks_[at / kChunk][at % kChunk]; }
    const T& front() const { return (*this)[0]; }
    T& back() { return (*this)[size_ - 1]; }
    const T& back() const { return (*this)[size_ - 1]; }

    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() {
        chunks_.clear();
        size_ = 0;
    }

    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, size_); }

  private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    size_t size_ = 0;
};

}  // namespace kestrel
