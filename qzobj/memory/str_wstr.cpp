// CPWStr: the UTF-16 string stored as its bare bytes.
#include "qzobj/strings.h"

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
    if (this == &source) return *this;
    CPMemory::operator=(source);
    CheckMemory();
    return *this;
}

CPWStr& CPWStr::operator=(const CPMemory& source) {
    CopyBlockText(source);
    return *this;
}

CPWStr& CPWStr::operator=(const char* text) {
    if (!text) {
        Free();
        return *this;
    }
    const Piece piece = Narrow(text);
    Compose(&piece, 1, true);
    return *this;
}

CPWStr& CPWStr::operator=(const WCHAR* text) {
    if (!text) {
        Free();
        return *this;
    }
    const Piece piece = Wide(text);
    Compose(&piece, 1, true);
    return *this;
}

CPWStr CPWStr::operator+(const char* text) const {
    const Piece pieces[2] = {Text(), Narrow(text)};
    CPWStr result;
    result.Compose(pieces, 2, false);
    return result;
}

CPWStr CPWStr::operator+(const WCHAR* text) const {
    const Piece pieces[2] = {Text(), Wide(text)};
    CPWStr result;
    result.Compose(pieces, 2, false);
    return result;
}

CPWStr CPWStr::operator+(const CPWStr& other) const {
    const Piece pieces[2] = {Text(), other.Text()};
    CPWStr result;
    result.Compose(pieces, 2, false);
    return result;
}

CPWStr operator+(const char* text, const CPWStr& string) {
    const CPStrBase::Piece pieces[2] = {CPWStr::Narrow(text), string.Text()};
    CPWStr result;
    result.Compose(pieces, 2, false);
    return result;
}

CPWStr operator+(const WCHAR* text, const CPWStr& string) {
    const CPStrBase::Piece pieces[2] = {CPWStr::Wide(text), string.Text()};
    CPWStr result;
    result.Compose(pieces, 2, false);
    return result;
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

BOOL CPWStr::DynaSave(const char* chunkName, CQZArchive* archive) {
    CheckMemory();
    return CPMemory::DynaSave(chunkName, archive);
}

BOOL CPWStr::DynaLoad(const char* chunkName, CQZArchive* archive) {
    return LoadWide(chunkName, archive);
}
