// A sample driver library: one persistent class, CSampleClip, registered when the library is
// loaded. Its versioned data (frames and markers) go into chunk "SampleClip" after the base
// class's chunks; its frame rate lives in the non-versioned NT block, which undo does not touch.
#include "sample_clip.h"

#include <vector>

#include "qzobj/persistent.h"
#include "qzobj/store.h"

namespace {

constexpr DWORD kMaxMarkers = 4096;
constexpr DWORD kDefaultRate = 25;

class CSampleClip : public CQZObject {
  public:
    CQZRuntimeClass* GetRuntimeClass() const override;

    static CQZRTObject* Create() { return new CSampleClip; }

    BOOL StoreData(CQZArchive& archive) override {
        if (!CQZObject::StoreData(archive)) return FALSE;
        const unsigned layer = archive.Chnk_Open("SampleClip", CHNK_WRITE);
        if (layer == 0xFFFFFFFFu) return FALSE;
        const DWORD count = DWORD(markers_.size());
        BOOL ok = StoreMemory(archive, "Frames", &frames_, sizeof frames_) &&
                  StoreMemory(archive, "Markers", markers_.data(), count * sizeof(DWORD));
        return archive.Chnk_Close(layer) && ok;
    }

    BOOL LoadData(CQZArchive& archive) override {
        if (!CQZObject::LoadData(archive)) return FALSE;
        const unsigned layer = archive.Chnk_Open("SampleClip", CHNK_READ);
        if (layer == 0xFFFFFFFFu) return FALSE;
        BOOL ok = LoadMemory(archive, "Frames", &frames_, sizeof frames_);
        // The marker chunk's size gives the count; a damaged size is refused, not trusted.
        markers_.clear();
        const unsigned inner = ok ? archive.Chnk_Open("Markers", CHNK_READ) : 0xFFFFFFFFu;
        if (inner == 0xFFFFFFFFu) {
            ok = FALSE;
        } else {
            const DWORD size = archive.Chnk_GetSize(inner);
            if (size % sizeof(DWORD) != 0 || size / sizeof(DWORD) > kMaxMarkers) {
                ok = FALSE;
            } else {
                markers_.resize(size / sizeof(DWORD));
                ok = archive.Chnk_Read(markers_.data(), size) == size;
            }
            archive.Chnk_Close(inner);
        }
        return archive.Chnk_Close(layer) && ok;
    }

    BOOL StoreNT(CQZArchive& archive) override {
        return CQZObject::StoreNT(archive) &&
               StoreMemory(archive, "Settings", &rate_, sizeof rate_);
    }

    BOOL LoadNT(CQZArchive& archive) override {
        return CQZObject::LoadNT(archive) && LoadMemory(archive, "Settings", &rate_, sizeof rate_);
    }

    DWORD ObjProc(DWORD code, DWORD a, DWORD) override {
        switch (code) {
            case SAMPLECLIP_ADDFRAMES:
                frames_ += a;
                SetChanged(TRUE, 1);
                return frames_;
            case SAMPLECLIP_ADDMARKER:
                if (a >= frames_ || markers_.size() >= kMaxMarkers) return 0;
                markers_.push_back(a);
                SetChanged(TRUE, 1);
                return 1;
            case SAMPLECLIP_CLEARMARKERS:
                markers_.clear();
                SetChanged(TRUE, 1);
                return 1;
            case SAMPLECLIP_SETRATE:
                rate_ = a;
                SetChanged(TRUE, 1);
                return 1;
            case SAMPLECLIP_FRAMES:
                return frames_;
            case SAMPLECLIP_MARKERS:
                return DWORD(markers_.size());
            case SAMPLECLIP_MARKER:
                return a < markers_.size() ? markers_[a] : 0xFFFFFFFFu;
            case SAMPLECLIP_RATE:
                return rate_;
            default:
                return CQZObject::ObjProc(code, a, 0);
        }
    }

    // Undo and redo rebuild a second object from the older version and hand its state over.
    BOOL Unwind(DWORD phase, CQZObject* object) override {
        if (phase == QZOBJ_UNWIND_TAKEOVER && object) {
            auto* target = static_cast<CSampleClip*>(object);
            target->frames_ = frames_;
            target->markers_ = markers_;
        }
        return TRUE;
    }

  private:
    DWORD frames_ = 0;
    std::vector<DWORD> markers_;
    DWORD rate_ = kDefaultRate;
};

constexpr UINT kNameID = 42001;

constinit CQZRuntimeClass classCSampleClip = [] {
    CQZRuntimeClass record{};
    record.cbSize = sizeof(CQZRuntimeClass);
    record.dwObjSize = sizeof(CSampleClip);
    const char name[] = SAMPLECLIP_CLASSNAME;
    for (size_t i = 0; i < sizeof name; ++i) record.szClassName[i] = name[i];
    record.uNameID = kNameID;
    record.guid = kSampleClipGuid;
    record.dwFlags = QZRTC_PERSISTENT | QZRTC_RECORDEDPATH;
    record.pfnCreateObject = &CSampleClip::Create;
    record.dwStatus = QZRTC_NEVER;
    record.dwVTblVersion = QZOBJ_VTBL_VERSION;
    return record;
}();

CQZRuntimeClass* CSampleClip::GetRuntimeClass() const {
    return &classCSampleClip;
}

const QZOBJ_STRINGRES kStrings[] = {{kNameID, u"Sample clip"}};
QZOBJ_DRIVERCLASS g_classes[] = {{&classCSampleClip, nullptr, sizeof(CQZObject)}};

// The base record lives in the library, whose address is known only at load.
__attribute__((constructor(101))) void BindBase() {
    g_classes[0].pBaseClass = &classCQZObject;
}

}  // namespace

QZOBJ_DRIVER_ENTRY(kStrings, 1, g_classes, 1)
