// Helpers the source files of the run-time object base share: its allocation-site tag, raw
// access to the signature word and the virtual-table checks.
#pragma once

#include <atomic>
#include <cstddef>

#include "qzobj/objmodel.h"

namespace qzo::objmodel {

// The allocation site recorded in the object heap's watch traces for every object.
inline constexpr char kCqzobjSite[] = "qzobj/cqzobj";
inline constexpr int kObjectNewLine = 72;

// Marks the checks that exist to examine objects whose table may be forged or damaged: the
// undefined-behaviour sanitizer's dynamic type check would stop them at their first member call,
// before they can refuse the object.
#define QZO_EXAMINES_SUSPECT_OBJECTS __attribute__((no_sanitize("vptr")))

// The signature word sits right behind the virtual-table pointer. Code that must treat an
// object as raw memory (operator delete, after the destructor ran) reaches it by this offset.
inline constexpr size_t kSignatureOffset = sizeof(void*);
inline std::atomic_ref<DWORD> SignatureAt(const void* memory) {
    auto* bytes = static_cast<BYTE*>(const_cast<void*>(memory));
    return std::atomic_ref<DWORD>(*reinterpret_cast<DWORD*>(bytes + kSignatureOffset));
}
// Whether the memory holds a valid signature; a fault while reading gives false.
bool IsSignatureAt(const void* memory);
inline void ClearSignatureAt(void* memory) {
    SignatureAt(memory).store(0, std::memory_order_release);
}

// True when the object's virtual table lies in a module's non-executable data and its first entry
// points into a module's code: only then may the object be called through its table.
bool HasGenuineTable(const CQZRTObject* object);
// The object's class record, asked through a genuine table under the fault guard; null when the
// table is not genuine or the call faulted.
CQZRuntimeClass* GuardedRuntimeClass(const CQZRTObject* object);

}  // namespace qzo::objmodel
