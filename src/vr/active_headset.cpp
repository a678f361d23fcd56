#include "headset/headset_presenter.h"
#include "vr/vr_presenter.h"

#include <atomic>

namespace corvane {
namespace {

std::atomic<HeadsetPresenter*> g_installed{nullptr};

} // namespace

HeadsetPresenter& ActiveHeadset() noexcept {
    HeadsetPresenter* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : VrPresenter::Instance();
}

void InstallActiveHeadset(HeadsetPresenter* presenter) noexcept {
    g_installed.store(presenter, std::memory_order_release);
}

} // namespace corvane
