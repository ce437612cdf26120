// The whole exported interface of libsorvo.
#pragma once

#include "host/AppDirectory.h"
#include "host/IUnknown.h"
#include "host/Log.h"
#include "host/PixelFormat.h"
#include "host/Win32Types.h"
#include "codec/FFAudioDecoder.h"
#include "codec/FFAudioEncoder.h"
#include "codec/FFEncoder.h"
#include "codec/FFWriteFile.h"
#include "muxing/SorvoEntry.h"
#include "muxing/VideoInfo.h"
#include "sink/IGrabberCallBack.h"
#include "sink/ISorvoData.h"
#include "sink/ISorvoSink.h"
#include "sink/ITransferAccepterCB.h"
#include "sink/StreamInfo.h"
