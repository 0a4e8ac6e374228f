// The picture a simulated camera sees: colour bars, a grey ramp, a ball that
// moves only inside the camera's motion windows, and the camera number and
// wall-clock time drawn into the top band, as a camera's own overlay.
#pragma once

#include <cstdint>
#include <vector>

namespace demo {

/// Height of the overlay band at the top; a motion detector masks it, since
/// its clock changes every frame.
constexpr unsigned kOverlayRows = 40;

/// Motion windows of a camera, in milliseconds since its first frame: the
/// ball moves for kMotionMs out of every kMotionCycleMs, camera 2 half a
/// cycle after camera 1, so that a short run sees both move.
constexpr uint64_t kMotionCycleMs = 6000;
constexpr uint64_t kMotionMs = 2000;
constexpr uint64_t motionStartMs(unsigned camera) { return camera == 1 ? 1000 : 1000 + kMotionCycleMs / 2; }
/// Whether the ball moves at `sinceStartMs` (time since the camera's first frame).
constexpr bool inMotion(unsigned camera, uint64_t sinceStartMs) {
    uint64_t const start = motionStartMs(camera);
    return sinceStartMs >= start && (sinceStartMs - start) % kMotionCycleMs < kMotionMs;
}

/// Draws one frame of `camera` into `rgb` (width * height * 3 bytes, resized).
/// `movingMs` is how long the ball has moved so far; `wallMs` the time shown.
void drawScene(std::vector<unsigned char>& rgb, unsigned width, unsigned height, unsigned camera, uint64_t movingMs,
               uint64_t wallMs, uint32_t frame);

} // namespace demo
