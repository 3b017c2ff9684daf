// The sample driver's persistent class, as a host sees it: a clip with a frame count and a list
// of marker frames. A host edits it through the object's generic entry point ObjProc with the
// codes below, so it needs this header only, never a link against the driver: the object store
// loads the driver when it meets a stored clip.
#pragma once

#include "qzobj/types.h"

// The library the class lives in (looked up in the registry's "driver" folder).
#define SAMPLECLIP_LIBRARY u"libqzo_sample_clip.so"
// The class name and GUID; with the name's hash ID they find the class record once the driver
// is loaded (CQZRuntimeClass::GetClassPtr).
#define SAMPLECLIP_CLASSNAME "CSampleClip"
inline constexpr GUID kSampleClipGuid = {
    0x5A3C1E01, 0x7B2D, 0x4C11, {0x9E, 0x41, 0x00, 0x51, 0xC1, 0x1B, 0x00, 0x01}};

// ObjProc codes. Edits mark the object changed; queries change nothing.
#define SAMPLECLIP_ADDFRAMES 1u     // a: frames to append
#define SAMPLECLIP_ADDMARKER 2u     // a: the marked frame (below the frame count); 1 added, 0 not
#define SAMPLECLIP_CLEARMARKERS 3u  // every marker removed
#define SAMPLECLIP_SETRATE 4u       // a: frames per second (kept in the non-versioned block)
#define SAMPLECLIP_FRAMES 16u       // the frame count
#define SAMPLECLIP_MARKERS 17u      // the number of markers
#define SAMPLECLIP_MARKER 18u       // a: index; the marked frame, 0xFFFFFFFF past the end
#define SAMPLECLIP_RATE 19u         // frames per second
