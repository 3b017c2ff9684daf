// CMonoCRC and CDualCRC evaluations: invalid generators and faults give their fixed results.
#include "qzobj/signal.h"
#include "qzobj/signal/crc_guarded.h"

using qzo::crc::GuardedEval;
using qzo::crc::Input;

namespace {

// A fault (null or unreadable input) makes an evaluation return 0.
template <class Generator>
DWORD EvalOrZero(const Generator& generator, Input kind, const void* data, size_t length) {
    DWORD result = 0;
    return GuardedEval(generator, kind, data, length, &result) ? result : 0;
}

}  // namespace

DWORD CMonoCRC::Eval(const void* data, DWORD length) const {
    return m_dwMask ? EvalOrZero(*this, Input::Bytes, data, length) : 0;
}
DWORD CMonoCRC::Eval(const char* text) const {
    return m_dwMask ? EvalOrZero(*this, Input::Narrow, text, 0) : 0;
}
DWORD CMonoCRC::Evali(const char* text) const {
    return m_dwMask ? EvalOrZero(*this, Input::NarrowFolded, text, 0) : 0;
}
DWORD CMonoCRC::Eval(const WCHAR* text) const {
    return m_dwMask ? EvalOrZero(*this, Input::Wide, text, 0) : 0;
}
DWORD CMonoCRC::Evali(const WCHAR* text) const {
    return m_dwMask ? EvalOrZero(*this, Input::WideFolded, text, 0) : 0;
}

DWORD CDualCRC::Eval(const void* data, DWORD length) const {
    return IsValid() ? EvalOrZero(*this, Input::Bytes, data, length) : 0xFFFFFFFFu;
}
DWORD CDualCRC::Eval(const char* text) const {
    return IsValid() ? EvalOrZero(*this, Input::Narrow, text, 0) : 0xFFFFFFFFu;
}
DWORD CDualCRC::Evali(const char* text) const {
    return IsValid() ? EvalOrZero(*this, Input::NarrowFolded, text, 0) : 0xFFFFFFFFu;
}
DWORD CDualCRC::Eval(const WCHAR* text) const {
    return IsValid() ? EvalOrZero(*this, Input::Wide, text, 0) : 0xFFFFFFFFu;
}
DWORD CDualCRC::Evali(const WCHAR* text) const {
    return IsValid() ? EvalOrZero(*this, Input::WideFolded, text, 0) : 0xFFFFFFFFu;
}
