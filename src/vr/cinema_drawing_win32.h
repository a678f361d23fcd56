// Draws the game's picture, copied once per frame into a texture of its own, into an eye texture:
// on the cinema screen, one quad standing where the screen stands, over the surround (a clear, or
// while fading a blended triangle); or laid into an eye's field that reaches past it. Recorded on the
// presenter's deferred context, render thread, presenter lock held.
#pragma once

#include "platform/win32/com_ptr_win32.h"
#include "vr/cinema_screen.h"

#include <d3d11.h>

#include <cstdint>
#include <string>

namespace corvane {

struct CinemaResources {
    ComPtr<ID3D11VertexShader> vertexShader; // the screen's quad
    ComPtr<ID3D11PixelShader> pixelShader;
    ComPtr<ID3D11VertexShader> surroundVertexShader;
    ComPtr<ID3D11PixelShader> surroundPixelShader;
    ComPtr<ID3D11VertexShader> fieldVertexShader; // the picture laid into an eye's field
    ComPtr<ID3D11PixelShader> fieldPixelShader;
    ComPtr<ID3D11Buffer> constantBuffer;
    ComPtr<ID3D11SamplerState> sampler;
    ComPtr<ID3D11BlendState> blendState;
    ComPtr<ID3D11BlendState> holeBlendState; // writes zero, colour and alpha
    ComPtr<ID3D11RasterizerState> rasterizerState;
    ComPtr<ID3D11DepthStencilState> depthStencilState;
    ComPtr<ID3D11Texture2D> picture; // the game's frame, as the screen shows it
    ComPtr<ID3D11ShaderResourceView> pictureView;

    [[nodiscard]] bool Complete() const;
    void Release();
};

// Makes the objects for a backbuffer of this size and format on `device`; the shader code is
// compiled once per process. On failure `errorText` says why and what was made stays for
// Release.
[[nodiscard]] bool CreateCinemaResources(ID3D11Device* device, uint32_t width, uint32_t height,
                                         uint32_t format, CinemaResources& resources, std::string& errorText);

// Copies (or resolves) the game's frame into the screen's picture.
void CopyCinemaPicture(ID3D11DeviceContext* context, const CinemaResources& resources,
                       ID3D11Texture2D* backbuffer, uint32_t sampleCount, uint32_t format) noexcept;

// Draws the screen over what `renderTarget` holds, inside `viewport` (the part of the texture
// the compositor spreads over the eye's field). At full opacity the target must already hold
// the surround (see ClearForCinema). `depthView` (may be null) is bound beside the target and
// left untouched: whatever is drawn next with the same pair, the hands, then goes on in the
// same framebuffer, which a renderer need not switch (and flush) for it.
void DrawCinemaForEye(ID3D11DeviceContext* context, const CinemaResources& resources,
                      const CinemaEyeConstants& constants, ID3D11RenderTargetView* renderTarget,
                      ID3D11DepthStencilView* depthView, const D3D11_VIEWPORT& viewport) noexcept;

// Where the screen stands, makes the target transparent (colour and alpha 0), for a runtime that
// composes the screen under it; otherwise as DrawCinemaForEye at full opacity.
void CutScreenHole(ID3D11DeviceContext* context, const CinemaResources& resources,
                   const CinemaEyeConstants& constants, ID3D11RenderTargetView* renderTarget,
                   ID3D11DepthStencilView* depthView, const D3D11_VIEWPORT& viewport) noexcept;

// Lays the picture into a whole `width` x `height` target so that the target spans `field` of it
// (see EyeFieldFit): one direction per texel, dark where the picture has none.
void DrawPictureInField(ID3D11DeviceContext* context, const CinemaResources& resources,
                        const VRTextureBounds_t& field, ID3D11RenderTargetView* renderTarget, uint32_t width,
                        uint32_t height) noexcept;

// Fills the target with the surround's colour.
void ClearForCinema(ID3D11DeviceContext* context, ID3D11RenderTargetView* renderTarget,
                    const CinemaEyeConstants& constants) noexcept;

} // namespace corvane
