// An openvr_api.dll that exports only part of the client functions, to show how the
// presenter reports a library it cannot use.
extern "C" __declspec(dllexport) bool VR_IsRuntimeInstalled() {
    return true;
}

extern "C" __declspec(dllexport) unsigned VR_GetInitToken() {
    return 0;
}
