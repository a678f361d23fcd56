// The order a swapchain's images must be acquired, waited and released in, and the frame-call
// order of a running session. Platform-free; called under the runtime lock.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

namespace xrsim {

// Acquire hands out images round-robin, at most all of them at once; wait applies to the oldest
// acquired image not yet waited; release to the oldest acquired image, which must be waited.
// A refused step changes nothing and says why in `broken`.
class ImageOrder {
public:
    explicit ImageOrder(uint32_t count) : count_(count) {}

    [[nodiscard]] bool Acquire(uint32_t& index, std::string& broken);
    [[nodiscard]] bool Wait(uint32_t& index, std::string& broken);
    [[nodiscard]] bool Release(uint32_t& index, std::string& broken);

    [[nodiscard]] bool EverReleased() const { return lastReleased_ >= 0; }
    [[nodiscard]] uint32_t LastReleased() const { return static_cast<uint32_t>(lastReleased_); }

private:
    struct Held {
        uint32_t index;
        bool waited;
    };
    uint32_t count_;
    uint32_t next_ = 0;
    std::deque<Held> held_; // in acquire order
    int64_t lastReleased_ = -1;
};

// Wait, begin, end per frame. Begin needs a wait since the last begin; a begin while a frame is
// begun discards that frame; end needs a begun frame.
enum class BeginVerdict { Begun, Discarded, NoWait };

class FrameOrder {
public:
    void Waited() { waited_ = true; }
    [[nodiscard]] BeginVerdict Begin() {
        if (!waited_) {
            return BeginVerdict::NoWait;
        }
        waited_ = false;
        const bool discarded = begun_;
        begun_ = true;
        return discarded ? BeginVerdict::Discarded : BeginVerdict::Begun;
    }
    [[nodiscard]] bool Begun() const { return begun_; }
    void Ended() { begun_ = false; }
    void Restart() { waited_ = begun_ = false; }

private:
    bool waited_ = false;
    bool begun_ = false;
};

} // namespace xrsim
