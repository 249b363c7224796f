// A contiguous list of plain records that grows without copying where it can.
//
// The engine's label, candidate and grid lists grow one record at a time to
// hundreds of megabytes. A std::vector grows by allocating a new block, copying into
// it and freeing the old one, and value-initialises what it adds. This list grows
// with realloc, which for large blocks moves pages instead of copying them, and
// leaves records past the old size unset where the caller overwrites them all.
//
// Growth is geometric, as for a vector. A growth that fails throws std::bad_alloc
// and leaves the list as it was.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace quillset {

template <class T>
class GrowList {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "records are moved as raw bytes");
    static_assert(alignof(T) <= alignof(std::max_align_t), "heap alignment must suffice");

public:
    GrowList() = default;
    GrowList(const GrowList&) = delete;
    GrowList& operator=(const GrowList&) = delete;
    GrowList(GrowList&& other) noexcept
        : data_(other.data_),
          size_(other.size_),
          capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = 0;
        other.capacity_ = 0;
    }
    GrowList& operator=(GrowList&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.size_ = 0;
            other.capacity_ = 0;
        }
        return *this;
    }
    ~GrowList() { std::free(data_); }

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

    void growTo(size_t n) {
        if (n > max_size() || n <= capacity_) {
            throw std::bad_alloc();
        }
        void* grown = std::realloc(data_, n * sizeof(T));
        if (grown == nullptr) {
            throw std::bad_alloc();
        }
        data_ = static_cast<T*>(grown);
        capacity_ = n;
    }
};

}  // namespace quillset
