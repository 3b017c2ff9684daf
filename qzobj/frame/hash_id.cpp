// Hash identifiers of narrow and wide names, and GetCRC1615, from the process-wide dual engines.
#include "qzobj/frame/hash_engines.h"
#include "qzobj/hashid.h"
#include "qzobj/signal/crc_guarded.h"

using qzo::crc::Input;

namespace {

// Built at compile time: ready before any module's static constructors run.
constinit const CDualCRC g_hashIDEngine(10, 0x083, 16, 0x1021);
constinit const CDualCRC g_crc1615Engine(16, 0x1021, 15, 0x8123);

// Null or unreadable input gives 0xFFFFFFFF.
DWORD Evaluate(const CDualCRC& engine, Input kind, const void* data, size_t length) {
    DWORD result = 0;
    return qzo::crc::GuardedEval(engine, kind, data, length, &result) ? result
                                                                      : QZO_HASHID_UNREADABLE;
}

}  // namespace

namespace qzo::frame {

const CDualCRC& HashIDEngine() {
    return g_hashIDEngine;
}
const CDualCRC& CRC1615Engine() {
    return g_crc1615Engine;
}

}  // namespace qzo::frame

DWORD GetHashID(const char* text) {
    return Evaluate(g_hashIDEngine, Input::Narrow, text, 0);
}

DWORD GetHashIDi(const char* text) {
    return Evaluate(g_hashIDEngine, Input::NarrowFolded, text, 0);
}

DWORD GetHashIDW(const WCHAR* text) {
    return Evaluate(g_hashIDEngine, Input::Wide, text, 0);
}

// Deliberately not folded: identifiers stored by earlier versions were computed this way.
DWORD GetHashIDWi(const WCHAR* text) {
    return Evaluate(g_hashIDEngine, Input::Wide, text, 0);
}

DWORD GetHashIDT(const WCHAR* text) {
    return Evaluate(g_hashIDEngine, Input::Wide, text, 0);
}

DWORD GetHashIDTi(const WCHAR* text) {
    return Evaluate(g_hashIDEngine, Input::WideFolded, text, 0);
}

DWORD GetHashIDTW(const WCHAR* text) {
    return Evaluate(g_hashIDEngine, Input::Wide, text, 0);
}

DWORD GetHashIDTWi(const WCHAR* text) {
    return Evaluate(g_hashIDEngine, Input::WideFolded, text, 0);
}

DWORD GetCRC1615(const void* data, DWORD length) {
    return Evaluate(g_crc1615Engine, Input::Bytes, data, length);
}
