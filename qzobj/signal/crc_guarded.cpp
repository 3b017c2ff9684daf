// Evaluation of the CRC generators over caller memory under the fault guard.
#include "qzobj/signal/crc_guarded.h"

#include "qzobj/diag.h"
#include "qzobj/platform/guard.h"
#include "qzobj/signal/crc_engine.h"

namespace qzo::crc {
namespace {

template <class Register>
void Feed(Register& r, Input kind, const void* data, size_t length) {
    switch (kind) {
        case Input::Bytes:
            r.Feed(static_cast<const BYTE*>(data), length);
            break;
        case Input::Narrow:
            FeedNarrow(r, static_cast<const char*>(data));
            break;
        case Input::NarrowFolded:
            FeedNarrowFolded(r, static_cast<const char*>(data));
            break;
        case Input::Wide:
            FeedWide(r, static_cast<const WCHAR*>(data));
            break;
        case Input::WideFolded:
            FeedWideFolded(r, static_cast<const WCHAR*>(data));
            break;
    }
}

// Everything the guarded body needs; plain data so that a fault abandons nothing.
template <class Register>
struct Job {
    Register* reg;
    Input kind;
    const void* data;
    size_t length;
};

template <class Register>
void RunJob(void* arg) {
    auto* job = static_cast<Job<Register>*>(arg);
    Feed(*job->reg, job->kind, job->data, job->length);
}

LONG Filter(EXCEPTION_POINTERS* pointers, void*) {
    return AnalyseException(pointers);
}

template <class Register>
bool RunGuardedJob(Register& reg, Input kind, const void* data, size_t length) {
    if (kind == Input::Bytes && length == 0) return true;  // reads nothing, whatever `data` is
    if (data == nullptr) return false;
    Job<Register> job{&reg, kind, data, length};
    return qzo::platform::RunGuarded(&RunJob<Register>, &job, &Filter, nullptr);
}

DWORD MonoResult(const CMonoCRC& generator, const MonoRegister& r) {
    return r.reg >> (32 - generator.Width());
}

DWORD DualResult(const CDualCRC& generator, const DualRegister& r) {
    return r.secondary | (r.main >> (32 - generator.MainWidth()));
}

}  // namespace

bool GuardedEval(const CMonoCRC& generator, Input kind, const void* data, size_t length,
                 DWORD* result) {
    MonoRegister r{generator.Slices()};
    if (!RunGuardedJob(r, kind, data, length)) return false;
    *result = MonoResult(generator, r);
    return true;
}

bool GuardedEval(const CDualCRC& generator, Input kind, const void* data, size_t length,
                 DWORD* result) {
    DualRegister r{generator.MainSlices(), generator.SecondarySlices()};
    if (!RunGuardedJob(r, kind, data, length)) return false;
    *result = DualResult(generator, r);
    return true;
}

DWORD RawEval(const CMonoCRC& generator, Input kind, const void* data, size_t length) {
    MonoRegister r{generator.Slices()};
    Feed(r, kind, data, length);
    return MonoResult(generator, r);
}

DWORD RawEval(const CDualCRC& generator, Input kind, const void* data, size_t length) {
    DualRegister r{generator.MainSlices(), generator.SecondarySlices()};
    Feed(r, kind, data, length);
    return DualResult(generator, r);
}

}  // namespace qzo::crc
