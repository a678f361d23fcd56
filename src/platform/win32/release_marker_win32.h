// A COM object attached to a Direct3D object's private data as an interface: Direct3D holds it
// and releases it while destroying that object, before the object's memory can be reused, so
// its last release is the moment to forget whatever was remembered about the object. That
// release runs with Direct3D's own lock held: `Owner::LastReleased` must take no lock of ours
// and call nothing in Direct3D. Any thread.
#pragma once

#include <unknwn.h>
#include <windows.h>

#include <atomic>

namespace corvane {

// COM objects end through Release, never through a pointer to IUnknown.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
template <typename Owner> class ReleaseMarker : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (iid != __uuidof(IUnknown)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<IUnknown*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = references_.fetch_sub(1) - 1;
        if (left == 0) {
            // May end the marker itself: nothing of it is touched afterwards.
            static_cast<Owner*>(this)->LastReleased();
        }
        return left;
    }

    [[nodiscard]] bool Unheld() const noexcept { return references_.load() == 0; }

protected:
    constexpr explicit ReleaseMarker(ULONG references) noexcept : references_(references) {}
    ~ReleaseMarker() = default;

private:
    std::atomic<ULONG> references_;
};
#pragma GCC diagnostic pop

} // namespace corvane
