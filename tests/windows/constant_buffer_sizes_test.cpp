// The remembered constant-buffer sizes against buffers that go away: a buffer destroyed and
// another made at the same address is asked again, and remembering holds no reference.
#include "d3d_test_device.h"
#include "stereo/camera_buffer_win32.h"
#include "stereo/constant_buffer_sizes_win32.h"

#include <gtest/gtest.h>

#include <d3d11.h>

#include <new>
#include <vector>

namespace corvane {
namespace {

// A buffer whose end the test controls: destroyed by Destroy, which releases its private
// data as Direct3D does, so another can be built in the same storage at the same address.
// COM objects end through Release, never through a pointer to IUnknown.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class FakeBuffer final : public ID3D11Buffer {
public:
    explicit FakeBuffer(UINT bytes, UINT bindFlags = D3D11_BIND_CONSTANT_BUFFER) {
        desc_.ByteWidth = bytes;
        desc_.BindFlags = bindFlags;
    }
    void Destroy() {
        if (privateData_ != nullptr) {
            privateData_->Release();
            privateData_ = nullptr;
        }
        this->~FakeBuffer();
    }

    int descriptionsAsked = 0;
    ULONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == __uuidof(ID3D11Buffer) || iid == __uuidof(ID3D11Resource) || iid == __uuidof(IUnknown)) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    void STDMETHODCALLTYPE GetDevice(ID3D11Device** device) override { *device = nullptr; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown* data) override {
        auto* incoming = const_cast<IUnknown*>(data);
        if (incoming != nullptr) {
            incoming->AddRef();
        }
        if (privateData_ != nullptr) {
            privateData_->Release();
        }
        privateData_ = incoming;
        return S_OK;
    }
    void STDMETHODCALLTYPE GetType(D3D11_RESOURCE_DIMENSION* dimension) override {
        *dimension = D3D11_RESOURCE_DIMENSION_BUFFER;
    }
    void STDMETHODCALLTYPE SetEvictionPriority(UINT) override {}
    UINT STDMETHODCALLTYPE GetEvictionPriority() override { return 0; }
    void STDMETHODCALLTYPE GetDesc(D3D11_BUFFER_DESC* desc) override {
        ++descriptionsAsked;
        *desc = desc_;
    }

private:
    D3D11_BUFFER_DESC desc_{};
    IUnknown* privateData_ = nullptr;
};
#pragma GCC diagnostic pop

TEST(ConstantBufferSizesWin32, ABufferMadeWhereADestroyedOneWasIsAskedAgain) {
    alignas(16) static unsigned char storage[sizeof(FakeBuffer)];
    auto* first = new (storage) FakeBuffer(64);
    EXPECT_EQ(ConstantBufferBytesOf(first), 64u);
    EXPECT_EQ(ConstantBufferBytesOf(first), 64u);
    EXPECT_TRUE(IsConstantBufferOfSize(first, 64));
    EXPECT_EQ(first->descriptionsAsked, 1) << "asked once, then answered from memory";
    EXPECT_EQ(first->references, 1u) << "remembering holds no reference";
    first->Destroy();

    auto* second = new (storage) FakeBuffer(528);
    ASSERT_EQ(static_cast<void*>(second), static_cast<void*>(first));
    EXPECT_EQ(ConstantBufferBytesOf(second), 528u);
    EXPECT_EQ(second->descriptionsAsked, 1);
    EXPECT_FALSE(IsConstantBufferOfSize(second, 64));
    ID3D11Buffer* returned = nullptr;
    EXPECT_TRUE(IsConstantBufferOfSize(second, 528, &returned));
    EXPECT_EQ(returned, second);
    EXPECT_EQ(second->references, 2u) << "the caller's reference";
    second->Release();
    EXPECT_EQ(second->descriptionsAsked, 1);
    second->Destroy();

    // Not a constant buffer: remembered as such, and never taken for one.
    auto* vertices = new (storage) FakeBuffer(64, D3D11_BIND_VERTEX_BUFFER);
    EXPECT_EQ(ConstantBufferBytesOf(vertices), 0u);
    EXPECT_FALSE(IsConstantBufferOfSize(vertices, 64));
    EXPECT_EQ(vertices->descriptionsAsked, 1);
    vertices->Destroy();
}

ULONG ReferenceCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST(ConstantBufferSizesWin32, RealBuffersKeepTheirReferenceCountAndAreAskedAgainWhenRemade) {
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ASSERT_TRUE(testing_support::CreateTestDevice(device, context));

    ComPtr<ID3D11Buffer> buffer = testing_support::MakeConstantBuffer(device.Get(), 64, true);
    ASSERT_TRUE(buffer);
    const ULONG before = ReferenceCount(buffer.Get());
    EXPECT_EQ(ConstantBufferBytesOf(buffer.Get()), 64u);
    EXPECT_TRUE(IsConstantBufferOfSize(buffer.Get(), 64));
    EXPECT_EQ(ReferenceCount(buffer.Get()), before);

    // Released and remade with another size until the heap hands the same address back.
    void* const address = buffer.Get();
    buffer.Reset();
    std::vector<ComPtr<ID3D11Buffer>> others;
    bool reused = false;
    for (int attempt = 0; attempt < 64 && !reused; ++attempt) {
        ComPtr<ID3D11Buffer> next = testing_support::MakeConstantBuffer(device.Get(), 528, true);
        ASSERT_TRUE(next);
        EXPECT_EQ(ConstantBufferBytesOf(next.Get()), 528u) << attempt;
        EXPECT_FALSE(IsConstantBufferOfSize(next.Get(), 64)) << attempt;
        reused = next.Get() == address;
        others.push_back(std::move(next));
    }
    EXPECT_TRUE(reused) << "the address never came back";
}

} // namespace
} // namespace corvane
