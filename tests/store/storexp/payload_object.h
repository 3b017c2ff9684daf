// A persistent test class whose versions carry a self-checking payload: a tag naming the version
// the test meant to store, the body's size and a checksum, then a body of bytes derived from the
// tag. A torn or mixed-up version fails to load, so a test learns exactly which version it got.
// Shared by the cross-process and the crash-sweep tests (header only, as each test program
// compiles its own copy).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "qzobj/objmodel.h"
#include "qzobj/persistent.h"
#include "qzobj/store.h"

namespace qzo::test::store {

inline constexpr DWORD kPayloadMagic = 0x31565058u;  // the bytes "XPV1"
inline constexpr DWORD kPayloadHeadSize = 16;        // magic, tag, size, checksum
inline constexpr DWORD kPayloadMaxSize = 64u << 20;

// The body of version `tag` with `size` bytes; every tag gives a different byte sequence.
inline std::string PayloadBody(DWORD tag, DWORD size) {
    std::string body(size, '\0');
    uint32_t state = tag * 2654435761u + 0x9E3779B9u;
    for (DWORD i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        body[i] = char(state >> 24);
    }
    return body;
}

inline DWORD PayloadChecksum(const std::string& body) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : body) hash = (hash ^ c) * 16777619u;
    return hash;
}

inline void PutWord(BYTE* to, DWORD value) {
    for (int i = 0; i < 4; ++i) to[i] = BYTE(value >> (8 * i));
}

inline DWORD GetWord(const BYTE* from) {
    return DWORD(from[0]) | DWORD(from[1]) << 8 | DWORD(from[2]) << 16 | DWORD(from[3]) << 24;
}

class PayloadObject;
inline CQZRuntimeClass& PayloadClass();

// The test class: after CQZObject's own chunks, a chunk "XpHead" (16 bytes) and a chunk "XpBody".
// LoadData refuses a head or body that does not check out.
class PayloadObject : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override { return &PayloadClass(); }

    void SetContent(DWORD tag, DWORD size) {
        tag_ = tag;
        body_ = PayloadBody(tag, size);
    }
    DWORD Tag() const { return tag_; }
    DWORD Size() const { return DWORD(body_.size()); }
    // The body is the one its tag and size give.
    bool Intact() const { return body_ == PayloadBody(tag_, DWORD(body_.size())); }

    BOOL StoreData(CQZArchive& archive) override {
        if (!CQZObject::StoreData(archive)) return FALSE;
        BYTE head[kPayloadHeadSize];
        PutWord(head, kPayloadMagic);
        PutWord(head + 4, tag_);
        PutWord(head + 8, DWORD(body_.size()));
        PutWord(head + 12, PayloadChecksum(body_));
        if (!StoreMemory(archive, "XpHead", head, sizeof head)) return FALSE;
        return StoreMemory(archive, "XpBody", body_.data(), DWORD(body_.size()));
    }

    BOOL LoadData(CQZArchive& archive) override {
        if (!CQZObject::LoadData(archive)) return FALSE;
        BYTE head[kPayloadHeadSize] = {};
        if (!LoadMemory(archive, "XpHead", head, sizeof head)) return FALSE;
        const DWORD size = GetWord(head + 8);
        if (GetWord(head) != kPayloadMagic || size > kPayloadMaxSize) return FALSE;
        std::string body(size, '\0');
        if (size > 0 && !LoadMemory(archive, "XpBody", body.data(), size)) return FALSE;
        if (PayloadChecksum(body) != GetWord(head + 12)) return FALSE;
        tag_ = GetWord(head + 4);
        body_ = std::move(body);
        return TRUE;
    }

    // The factory: a new object holds the preset content (CreateObject stores it as version 1;
    // a restore replaces it with the stored one).
    static CQZRTObject* Create() {
        PayloadObject* object = new PayloadObject;
        if (object) object->SetContent(presetTag_.load(), presetSize_.load());
        return object;
    }
    static void Preset(DWORD tag, DWORD size) {
        presetTag_ = tag;
        presetSize_ = size;
    }

  private:
    DWORD tag_ = 0;
    std::string body_;
    static inline std::atomic<DWORD> presetTag_{0};
    static inline std::atomic<DWORD> presetSize_{0};
};

inline CQZRuntimeClass& PayloadClass() {
    static CQZRuntimeClass* record = [] {
        auto* made = new CQZRuntimeClass;
        std::memset(made, 0, sizeof *made);
        made->cbSize = sizeof(CQZRuntimeClass);
        made->dwObjSize = sizeof(PayloadObject);
        std::strncpy(made->szClassName, "XpPayload", sizeof made->szClassName - 1);
        made->guid =
            GUID{0x5A7E0001, 0x7E57, 0x4E61, {0x80, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 1}};
        made->dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
        made->pfnCreateObject = &PayloadObject::Create;
        made->dwStatus = QZRTC_NEVER;
        made->dwVTblVersion = QZOBJ_VTBL_VERSION;
        return made;
    }();
    return *record;
}

// Registers the test class once per process (after the library's own start-up); true when it is
// registered.
inline bool RegisterPayloadClass() {
    static const bool registered = [] {
        static int anchor;
        CQZRuntimeClass& record = PayloadClass();
        const DWORD status = record.RegisterClass(QZOBJ_ModuleFromAddress(&anchor), &classCQZObject,
                                                  classCQZObject.dwObjSize);
        return status == QZRTC_REGISTERED;
    }();
    return registered;
}

inline PayloadObject* AsPayload(CQZObject* object) {
    return object && object->IsKindOf(&PayloadClass()) ? static_cast<PayloadObject*>(object)
                                                       : nullptr;
}

// Drops one reference of an object at the end of a scope.
struct ObjectReleaser {
    void operator()(CQZObject* object) const {
        if (object) object->DelObject();
    }
};
using ObjectRef = std::unique_ptr<PayloadObject, ObjectReleaser>;

inline constexpr DWORD kRead = 0x80000000u;
inline constexpr DWORD kReadWriteEdit = 0xE0000000u;

// An ASCII native path as the library's UTF-16 text.
inline std::u16string Wide(const std::string& native) {
    return std::u16string(native.begin(), native.end());
}

}  // namespace qzo::test::store
