// Presses of a set of keys, frame by frame: a key counts once when it goes down, however long
// it is then held. Render thread only.
#pragma once

#include "platform/os.h"

#include <cstddef>

namespace corvane {

template <size_t N> class KeyPresses {
public:
    // Which of the keys went down since the last call.
    void Read(const int (&virtualKeys)[N], bool (&pressed)[N]) {
        for (size_t key = 0; key < N; ++key) {
            const bool down = OsIsKeyDown(virtualKeys[key]);
            pressed[key] = down && !wasDown_[key];
            wasDown_[key] = down;
        }
    }

    // Every key counts as up (a new session).
    void Reset() {
        for (bool& down : wasDown_) {
            down = false;
        }
    }

private:
    bool wasDown_[N] = {};
};

} // namespace corvane
