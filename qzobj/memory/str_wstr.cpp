// CPWStr: the UTF-16 string stored as its bare bytes.
#include "qzobj/memory/str_common.h"
#include "qzobj/strings.h"

using qzo::strings::AssignText;
using qzo::strings::Concatenate;
using qzo::strings::ShareFrom;

CPWStr::CPWStr(const CPWStr& source) : CPStrBase(source) {
    CheckMemory();
}

CPWStr::CPWStr(const CPMemory& source) {
    CopyBlockText(source);
}

CPWStr::CPWStr(const char* text) {
    *this = text;
}

CPWStr::CPWStr(const WCHAR* text) {
    *this = text;
}

CPWStr& CPWStr::operator=(const CPWStr& source) {
    return ShareFrom(*this, source);
}

CPWStr& CPWStr::operator=(const CPMemory& source) {
    CopyBlockText(source);
    return *this;
}

CPWStr& CPWStr::operator=(const char* text) {
    return AssignText(*this, text);
}

CPWStr& CPWStr::operator=(const WCHAR* text) {
    return AssignText(*this, text);
}

CPWStr CPWStr::operator+(const char* text) const {
    return Concatenate<CPWStr>(Text(), Narrow(text));
}

CPWStr CPWStr::operator+(const WCHAR* text) const {
    return Concatenate<CPWStr>(Text(), Wide(text));
}

CPWStr CPWStr::operator+(const CPWStr& other) const {
    return Concatenate<CPWStr>(Text(), other.Text());
}

CPWStr operator+(const char* text, const CPWStr& string) {
    return Concatenate<CPWStr>(CPWStr::Narrow(text), string.Text());
}

CPWStr operator+(const WCHAR* text, const CPWStr& string) {
    return Concatenate<CPWStr>(CPWStr::Wide(text), string.Text());
}

CPWStr& CPWStr::operator+=(const char* text) {
    Append(Narrow(text));
    return *this;
}

CPWStr& CPWStr::operator+=(const WCHAR* text) {
    Append(Wide(text));
    return *this;
}

CPWStr::operator CPTStr() const {
    return CPTStr(static_cast<const CPMemory&>(*this));
}

BOOL CPWStr::DynaSave(const char* chunkName, CQZArchive& archive) {
    CheckMemory();
    return CPMemory::DynaSave(chunkName, archive);
}

BOOL CPWStr::DynaLoad(const char* chunkName, CQZArchive& archive) {
    return LoadWide(chunkName, &archive);
}
