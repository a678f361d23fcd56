// One owned reference to a COM object (Direct3D, DXGI, compiler blobs): released when the
// owner goes away or is reset. Whichever thread owns the holder uses it; no locking.
#pragma once

#include <utility>

namespace corvane {

template <typename T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }

    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            Reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }

    // Holds an object someone else also keeps, adding a reference of our own.
    [[nodiscard]] static ComPtr Share(T* pointer) {
        ComPtr holder;
        if (pointer != nullptr) {
            pointer->AddRef();
        }
        holder.pointer_ = pointer;
        return holder;
    }

    // Drops the current reference and hands out the slot for a creation call to fill.
    [[nodiscard]] T** Put() {
        Reset();
        return &pointer_;
    }

    void Reset() {
        if (T* old = std::exchange(pointer_, nullptr)) {
            old->Release();
        }
    }

    [[nodiscard]] T* Get() const { return pointer_; }
    T* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

private:
    T* pointer_ = nullptr;
};

} // namespace corvane
