#pragma once

#include <chrono>
#include <functional>

// The later steps of a view's timed sequence. Each is scheduled at the sequence's start with its
// own delay from that start, and is never chained to another step nor cancelled: a step that
// should do nothing once its view is gone checks a QPointer itself.
//
// The delays run on the same clock as the value animations (Qt's animation timer), so steps and
// animations stay in step with each other, also when a test drives that clock.
namespace TimedSteps {

void schedule(std::chrono::milliseconds delay, std::function<void()> step);

} // namespace TimedSteps
