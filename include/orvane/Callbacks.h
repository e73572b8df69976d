#pragma once

#include <functional>

#include "orvane/ApsFrame.h"
#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"

namespace orvane {

// A contiguous, time-ordered range of decoded events, valid only during the call.
using EventsStreamHandleCallback = std::function<void(const Event2D* begin, const Event2D* end)>;
// One trigger edge, by value.
using TriggerInCallback = std::function<void(EventTriggerIn)>;
// One frame; its data is valid only during the call.
using ApsFrameCallback = std::function<void(const ApsFrame&)>;

}  // namespace orvane
