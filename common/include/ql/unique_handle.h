// Owners for Win32 handles: each closes its handle exactly once, when it goes out of scope.
#pragma once

#include <windows.h>

#include <utility>

namespace ql {

template <typename Traits>
class Unique {
public:
    using Value = typename Traits::Value;

    Unique() noexcept = default;
    explicit Unique(Value value) noexcept : value_(value) {}
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    ~Unique() { reset(); }

    Value get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }

    Value release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(Value value = Traits::invalid()) noexcept {
        Value old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // For out-parameters of Win32 calls: releases what it held and hands out its slot.
    Value* put() noexcept {
        reset();
        return &value_;
    }

private:
    Value value_ = Traits::invalid();
};

struct KernelHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value h) noexcept { CloseHandle(h); }
};
// CreateFile reports failure with INVALID_HANDLE_VALUE instead of null.
struct FileHandleTraits {
    using Value = HANDLE;
    static Value invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(Value h) noexcept { CloseHandle(h); }
};
struct RegKeyTraits {
    using Value = HKEY;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value k) noexcept { RegCloseKey(k); }
};

using UniqueHandle = Unique<KernelHandleTraits>;
using UniqueFile = Unique<FileHandleTraits>;
using UniqueRegKey = Unique<RegKeyTraits>;

}  // namespace ql
