// A contiguous list of plain records that grows without copying.
//
// The engine's label and candidate lists grow one record at a time to hundreds of
// megabytes. A std::vector grows by allocating a new block, copying into it and
// freeing the old one, so every doubling copies the whole list and faults in fresh
// pages. From 1 MiB up this list lives in its own mapping and grows by moving its
// pages to a larger one (mremap): no copy, and each page is faulted in once. The
// move keeps the block's offset within 2 MiB, so that virtual and physical
// addresses stay aligned as they were: moved pages that lose that alignment were
// measured to slow the solver's random reads by about 5 %. Smaller lists, systems
// without mremap and sanitizer builds grow on the heap with realloc.
//
// Growth is geometric, as for a vector. A growth that fails throws std::bad_alloc
// and leaves the list as it was.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>

namespace quillset {

namespace grow_list_detail {

// Storage of `bytes` (> 0) holding the first `keep` bytes of `block` (of `had`
// bytes, which `*mapped` tells how it was obtained; null when none). Releases the
// old block, updates `*mapped`. Throws std::bad_alloc, changing nothing.
void* grow(void* block, size_t had, size_t keep, size_t bytes, bool* mapped);

void release(void* block, size_t bytes, bool mapped) noexcept;

}  // namespace grow_list_detail

template <class T>
class GrowList {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "records are moved as raw bytes");
    static_assert(alignof(T) <= alignof(std::max_align_t), "heap alignment must suffice");

public:
    using value_type = T;
    using size_type = size_t;
    using iterator = T*;
    using const_iterator = const T*;

    GrowList() = default;
    GrowList(const GrowList&) = delete;
    GrowList& operator=(const GrowList&) = delete;
    GrowList(GrowList&& other) noexcept
        : data_(other.data_),
          size_(other.size_),
          capacity_(other.capacity_),
          mapped_(other.mapped_) {
        other.data_ = nullptr;
        other.size_ = 0;
        other.capacity_ = 0;
        other.mapped_ = false;
    }
    GrowList& operator=(GrowList&& other) noexcept {
        if (this != &other) {
            grow_list_detail::release(data_, capacity_ * sizeof(T), mapped_);
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            mapped_ = other.mapped_;
            other.data_ = nullptr;
            other.size_ = 0;
            other.capacity_ = 0;
            other.mapped_ = false;
        }
        return *this;
    }
    ~GrowList() { grow_list_detail::release(data_, capacity_ * sizeof(T), mapped_); }

    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    static constexpr size_t max_size() noexcept { return static_cast<size_t>(-1) / 4 / sizeof(T); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    const T& back() const noexcept { return data_[size_ - 1]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // Keeps the storage, as std::vector::clear does.
    void clear() noexcept { size_ = 0; }

    void reserve(size_t n) {
        if (n > capacity_) {
            growTo(n);
        }
    }

    // Sets the size to n, growing as push_back would. Records past the old size
    // are left unset, for a caller that writes every one of them.
    void resizeForOverwrite(size_t n) {
        if (n > capacity_) {
            growTo(n > capacity_ * 2 || capacity_ > max_size() / 2 ? n : capacity_ * 2);
        }
        size_ = n;
    }

    void push_back(const T& value) {
        if (size_ == capacity_) [[unlikely]] {
            growTo(capacity_ < 16 ? 16 : (capacity_ > max_size() / 2 ? max_size() : capacity_ * 2));
        }
        data_[size_++] = value;
    }

private:
    T* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    bool mapped_ = false;

    void growTo(size_t n) {
        if (n > max_size() || n <= capacity_) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(grow_list_detail::grow(data_, capacity_ * sizeof(T),
                                                       size_ * sizeof(T), n * sizeof(T), &mapped_));
        capacity_ = n;
    }
};

}  // namespace quillset
