// Descriptions for the init errors a scenario is likely to inject; the rest share one text.
#include "init_errors.h"

namespace vrsim {
namespace {

struct InitErrorText {
    int32_t code;
    const char* symbol;
    const char* description;
};

constexpr InitErrorText kTexts[] = {
    {0, "VRInitError_None", "No error"},
    {1, "VRInitError_Unknown", "Unknown error"},
    {100, "VRInitError_Init_InstallationNotFound", "The VR runtime installation was not found"},
    {101, "VRInitError_Init_InstallationCorrupt", "The VR runtime installation is damaged"},
    {102, "VRInitError_Init_VRClientDLLNotFound", "The VR client library was not found"},
    {103, "VRInitError_Init_FileNotFound", "A runtime file was not found"},
    {104, "VRInitError_Init_FactoryNotFound", "The runtime's interface factory was not found"},
    {105, "VRInitError_Init_InterfaceNotFound", "The requested interface version is not available"},
    {106, "VRInitError_Init_InvalidInterface", "The requested interface is invalid"},
    {108, "VRInitError_Init_HmdNotFound", "No headset was found"},
    {109, "VRInitError_Init_NotInitialized", "The VR runtime has not been initialised"},
    {110, "VRInitError_Init_PathRegistryNotFound", "The runtime path registry was not found"},
    {115, "VRInitError_Init_Retry", "The runtime asks to try again later"},
    {116, "VRInitError_Init_InitCanceledByUser", "Initialisation was cancelled by the user"},
    {119, "VRInitError_Init_ShuttingDown", "The VR runtime is shutting down"},
    {124, "VRInitError_Init_Internal", "An internal runtime error occurred"},
    {126, "VRInitError_Init_HmdNotFoundPresenceFailed", "No headset was found (presence check failed)"},
    {143, "VRInitError_Init_AlreadyRunning", "The VR runtime is already running"},
    {168, "VRInitError_Init_InstallationTooOld", "The VR runtime installation is too old"},
    {169, "VRInitError_Init_ClientVersionAlreadyProvided", "The client version was already provided"},
    {200, "VRInitError_Driver_Failed", "The headset driver failed"},
    {203, "VRInitError_Driver_NotLoaded", "The headset driver is not loaded"},
    {205, "VRInitError_Driver_HmdInUse", "The headset is in use by another application"},
    {208, "VRInitError_Driver_HmdDisplayNotFound", "The headset display was not found"},
    {301, "VRInitError_IPC_ConnectFailed", "Could not connect to the VR server"},
    {306, "VRInitError_IPC_CompositorConnectFailed", "Could not connect to the compositor"},
    {400, "VRInitError_Compositor_Failed", "The compositor failed to start"},
    {401, "VRInitError_Compositor_D3D11HardwareRequired", "The compositor needs Direct3D 11 hardware"},
};

const InitErrorText* Find(int32_t error) {
    for (const InitErrorText& text : kTexts) {
        if (text.code == error) {
            return &text;
        }
    }
    return nullptr;
}

} // namespace

const char* InitErrorDescription(int32_t error) {
    const InitErrorText* text = Find(error);
    return text != nullptr ? text->description : "Unrecognised VR initialisation error";
}

const char* InitErrorSymbol(int32_t error) {
    const InitErrorText* text = Find(error);
    return text != nullptr ? text->symbol : "VRInitError_Unrecognised";
}

} // namespace vrsim
