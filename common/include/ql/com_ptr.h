// Owner of one COM interface pointer: released exactly once, when the owner goes out of scope, so no
// return path of a COM method or a native leaks a reference.
#pragma once

#include <unknwn.h>

#include <utility>

namespace ql {

template <typename T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Releases what it held and hands out its slot, for out-parameters.
    T** put() noexcept {
        reset();
        return &p_;
    }
    // For the void** out-parameters of QueryInterface and CoCreateInstance.
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    // Takes over a reference the caller already owns.
    void reset(T* p = nullptr) noexcept {
        if (T* old = std::exchange(p_, p)) old->Release();
    }
    T* detach() noexcept { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

}  // namespace ql
