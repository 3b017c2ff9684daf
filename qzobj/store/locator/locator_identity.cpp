// The locator's identity: construction, assignment (refused on a self-locator), the location's
// parts, its text form, and the mode and flag bits.
#include <cstring>

#include "qzobj/diag.h"
#include "qzobj/locator.h"
#include "qzobj/store/locator/locator_core.h"
#include "qzobj/store/objfile/locfile.h"

using qzo::store::LocatorCore;

namespace {

constexpr WCHAR kSelfReassignment[] = u"Reassignments of selflocator not allowed";

Location IdentityOf(const Location& location) {
    Location identity = location;
    identity.dwFlags &= LOCATOR_IDENTITY_FLAGS;
    return identity;
}

// A self-locator names its own object for the object's whole life: changing it would make the
// object store itself under another name. Warns with the caller's address and frame.
bool RefusedOnSelfLocator(const Location& location, void* address, void* frame) {
    if (!(location.dwFlags & LOCATOR_SELFLOCATOR)) return false;
    WarningMsg(kSelfReassignment, address, frame);
    return true;
}

}  // namespace

Locator::Locator() = default;

Locator::Locator(const Location& location) : m_Location(IdentityOf(location)) {}

Locator::Locator(const WCHAR* text) {
    m_Location = text;
    m_Location.dwFlags &= LOCATOR_IDENTITY_FLAGS;
}

Locator::Locator(const GUID& guid) {
    m_Location = guid;
}

Locator::Locator(const Locator& source)
    : m_Location(source.m_Location), m_pFile(source.m_pFile), m_pClass(source.m_pClass) {
    m_Location.dwFlags &= ~LOCATOR_SELFLOCATOR;
    IncrementLockCount();
}

Locator::~Locator() {
    ReleaseAccess();
}

Locator& Locator::operator=(const Locator& source) {
    if (this == &source) return *this;
    if (RefusedOnSelfLocator(m_Location, __builtin_return_address(0), __builtin_frame_address(0)))
        return *this;
    // Take the new file's reference before dropping the old one: both may be the same file.
    LocFile* file = source.m_pFile;
    if (file) file->AddRef();
    ReleaseAccess();
    m_Location = source.m_Location;
    m_Location.dwFlags &= ~LOCATOR_SELFLOCATOR;
    m_pFile = file;
    m_pClass = source.m_pClass;
    return *this;
}

Locator& Locator::operator=(const Location& location) {
    if (RefusedOnSelfLocator(m_Location, __builtin_return_address(0), __builtin_frame_address(0)))
        return *this;
    const Location identity = IdentityOf(location);
    ReleaseAccess();
    m_Location = identity;
    m_pClass = nullptr;
    return *this;
}

Locator& Locator::operator=(const WCHAR* text) {
    if (RefusedOnSelfLocator(m_Location, __builtin_return_address(0), __builtin_frame_address(0)))
        return *this;
    Location location;
    location = text;
    ReleaseAccess();
    m_Location = IdentityOf(location);
    m_pClass = nullptr;
    return *this;
}

Locator& Locator::operator=(const GUID& guid) {
    if (RefusedOnSelfLocator(m_Location, __builtin_return_address(0), __builtin_frame_address(0)))
        return *this;
    ReleaseAccess();
    m_Location = guid;
    m_pClass = nullptr;
    return *this;
}

// Clearing also gives up the file: a cleared locator that kept it would hold the object's file
// open with nobody left to close it.
void Locator::Init() {
    ReleaseAccess();
    m_Location.Init();
    m_pClass = nullptr;
}

BOOL Locator::IsValid() const {
    return m_Location.IsValid();
}

void Locator::Invalidate() {
    Init();
}

DWORD Locator::GetHashID() const {
    return (m_Location.dwFlags & LOCATOR_VIRTUAL) ? LOCATION_NO_HASHID : m_Location.dwHashID;
}

DWORD Locator::GetProjID() const {
    return (m_Location.dwFlags & LOCATOR_VIRTUAL) ? LOCATION_NO_PROJID : m_Location.dwProjID;
}

DWORD Locator::GetObjID() const {
    return m_Location.dwObjID;
}

DWORD Locator::GetDataID() const {
    return m_Location.dwDataID;
}

void Locator::GetLocation(Location& location) const {
    location = IdentityOf(m_Location);
}

Location Locator::GetLocation() const {
    return IdentityOf(m_Location);
}

BOOL Locator::GetLocationAsString(WCHAR* buffer, unsigned size) const {
    return m_Location.GetLocationAsString(buffer, size);
}

DWORD Locator::QueryMode() const {
    return m_Location.dwFlags & LOCATION_MODE_MASK;
}

DWORD Locator::QueryFlags() const {
    return m_Location.dwFlags & LOCATION_LOCATOR_MASK;
}

void Locator::SetMode(DWORD mode) {
    m_Location.dwFlags = (m_Location.dwFlags & ~LOCATION_MODE_MASK) | (mode & LOCATION_MODE_MASK);
}

void Locator::SetFlags(DWORD mask, DWORD values) {
    m_Location.dwFlags = (m_Location.dwFlags & ~mask) | (values & mask);
}

void Locator::IncrementLockCount() {
    if (m_pFile) m_pFile->AddRef();
}
