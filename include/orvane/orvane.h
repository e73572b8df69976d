#pragma once

// The whole public API of orvane in one include.

// Records, enumerations and callback types
#include "orvane/ApsFrame.h"
#include "orvane/Callbacks.h"
#include "orvane/Enums.h"
#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"
#include "orvane/ObjectPool.h"

// OrvaneBase
#include "orvane/base/ByteOrder.h"
#include "orvane/base/Logger.h"
#include "orvane/base/SysTime.h"

// OrvaneHal
#include "orvane/hal/Decoder.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/EventSearch.h"
#include "orvane/hal/Evt3Encoder.h"
#include "orvane/hal/RawEventStreamFormat.h"
