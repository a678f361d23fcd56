// Swapchain image order.
#include "image_order.h"

namespace xrsim {

bool ImageOrder::Acquire(uint32_t& index, std::string& broken) {
    if (held_.size() >= count_) {
        broken = "all " + std::to_string(count_) + " images are already acquired";
        return false;
    }
    index = next_;
    next_ = (next_ + 1) % count_;
    held_.push_back({index, false});
    return true;
}

bool ImageOrder::Wait(uint32_t& index, std::string& broken) {
    for (Held& held : held_) {
        if (!held.waited) {
            held.waited = true;
            index = held.index;
            return true;
        }
    }
    broken = held_.empty() ? "no image is acquired" : "every acquired image is already waited";
    return false;
}

bool ImageOrder::Release(uint32_t& index, std::string& broken) {
    if (held_.empty() || !held_.front().waited) {
        broken = held_.empty() ? "no image is acquired" : "the oldest acquired image was not waited";
        return false;
    }
    index = held_.front().index;
    lastReleased_ = index;
    held_.pop_front();
    return true;
}

} // namespace xrsim
