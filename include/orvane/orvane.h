// The whole public API of orvane in one include.
#pragma once

// orvane's headers need C++17 or later; pkg-config's flags leave the standard
// to the program.
#if __cplusplus < 201703L
#error "orvane needs C++17 or later (for example -std=c++17)"
#endif

// Records, enumerations and callback types
#include "orvane/ApsFrame.h"
#include "orvane/Callbacks.h"
#include "orvane/Enums.h"
#include "orvane/Event2D.h"
#include "orvane/EventTriggerIn.h"
#include "orvane/ObjectPool.h"

// Recorded data
#include "orvane/ApsFileReader.h"
#include "orvane/Bookmark.h"
#include "orvane/BookmarkFile.h"
#include "orvane/BookmarkIndex.h"
#include "orvane/DvsFileReader.h"
#include "orvane/EventFileConversion.h"
#include "orvane/Hdf5EventReader.h"
#include "orvane/Hdf5EventWriter.h"
#include "orvane/Mp4FileReader.h"
#include "orvane/RawEventWriter.h"
#include "orvane/RawFileHeader.h"
#include "orvane/RawFileReader.h"

// Video
#include "orvane/DataToVideoConverter.h"

// OrvaneBase
#include "orvane/base/ByteOrder.h"
#include "orvane/base/FileCheck.h"
#include "orvane/base/Logger.h"
#include "orvane/base/SysTime.h"

// OrvaneHal
#include "orvane/hal/Decoder.h"
#include "orvane/hal/DecoderFactory.h"
#include "orvane/hal/EventSearch.h"
#include "orvane/hal/Evt3Encoder.h"
#include "orvane/hal/Evt3LostTimeHighs.h"
#include "orvane/hal/Evt3RunJoiner.h"
#include "orvane/hal/Evt3Scan.h"
#include "orvane/hal/Evt3StateWords.h"
#include "orvane/hal/Evt3Survey.h"
#include "orvane/hal/RawEventStreamFormat.h"

// Transport, registers and tools
#include "orvane/hal/BufferQueue.h"
#include "orvane/hal/CameraDescription.h"
#include "orvane/hal/CameraTool.h"
#include "orvane/hal/CtrlFrame.h"
#include "orvane/hal/Device.h"
#include "orvane/hal/DeviceBus.h"
#include "orvane/hal/EventStream.h"
#include "orvane/hal/Imx415ApsCtrl.h"
#include "orvane/hal/Imx636AntiFlicker.h"
#include "orvane/hal/Imx636Biases.h"
#include "orvane/hal/Imx636EventRateControl.h"
#include "orvane/hal/Imx636EventTrailFilter.h"
#include "orvane/hal/Imx636ROI.h"
#include "orvane/hal/Imx636Sync.h"
#include "orvane/hal/Imx636TriggerIn.h"
#include "orvane/hal/Interface.h"
#include "orvane/hal/Register.h"
#include "orvane/hal/RegisterController.h"
#include "orvane/hal/RegisterMap.h"
#include "orvane/hal/RegisterTables.h"
#include "orvane/hal/UsbInterface.h"

// Cameras
#include "orvane/CameraFacade.h"
#include "orvane/DvsCamera.h"
#include "orvane/DvsCameraManager.h"
#include "orvane/DvsCameraPrivate.h"
#include "orvane/DvsEventCamera.h"
#include "orvane/FusionCamera.h"
#include "orvane/FusionCameraPrivate.h"
#include "orvane/OrvaneBrisca.h"
#include "orvane/PropheseeEVK4.h"
#include "orvane/TandroCamera.h"

// Sensor drivers
#include "orvane/Imx415Sensor.h"
#include "orvane/Imx6x6Sensor.h"
#include "orvane/RegisterSequences.h"
#include "orvane/Sensor.h"
