// Owner of one COM interface pointer: released exactly once, when the owner goes out of scope.
#pragma once

#include <unknwn.h>

#include <utility>

namespace ql {

template <typename Interface>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    Interface* get() const noexcept { return pointer_; }
    Interface* operator->() const noexcept { return pointer_; }
    explicit operator bool() const noexcept { return pointer_ != nullptr; }

    void reset() noexcept {
        if (Interface* old = std::exchange(pointer_, nullptr)) old->Release();
    }
    // For out-parameters: releases what it held and hands out its slot.
    Interface** put() noexcept {
        reset();
        return &pointer_;
    }
    // For the void** out-parameters of QueryInterface and CoCreateInstance.
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

private:
    Interface* pointer_ = nullptr;
};

}  // namespace ql
