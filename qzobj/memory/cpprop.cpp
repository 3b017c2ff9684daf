// CPProperty: memory blocks labelled with a property type and identifier, allocated from the
// "PropertyPool" heap.
#include <new>

#include "qzobj/memblock.h"
#include "qzobj/memory/cpmem_mallocator.h"

const char* CPProperty::GetClassID() const {
    return classidCPProperty;
}

IMallocator* CPProperty::GetMallocator() const {
    return qzo::memory::PropertyPoolMallocator();
}

CPProperty::CPProperty(const CPProperty& source)
    : CPMemory(), dwPropertyType(source.dwPropertyType), PropertyID(source.PropertyID) {
    CopyCPMemory(source);
}

CPProperty& CPProperty::operator=(const CPProperty& source) {
    if (this == &source) return *this;
    CopyCPMemory(source);
    dwPropertyType = source.dwPropertyType;
    PropertyID = source.PropertyID;
    return *this;
}

CPProperty::~CPProperty() {
    Free();
}

void CPProperty::Construct() {
    new (this) CPProperty();
}

BOOL CPProperty::IsValid() const {
    return HoldsValidBlock() && dwPropertyType != 0;
}
