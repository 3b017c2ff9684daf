// Loaded module images and the address space: the ELF objects the dynamic loader has mapped
// (the main program and the shared libraries), their dynamic symbols, and the mappings that
// hold an address.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzo::platform {

struct ImageInfo {
    uintptr_t base = 0;          // address of the image's ELF header
    const char* path = nullptr;  // as the loader knows it ("" for the main program)
    bool isMain = false;         // the main program
};

// Calls `visit` for each loaded image in load order until it returns false; returns the number
// of images visited. Takes the loader's lock: `visit` must not load or unload libraries, and
// this is not for fault handlers.
using ImageVisitor = bool (*)(const ImageInfo& image, void* context);
size_t ForEachImage(ImageVisitor visit, void* context);

// The address of a symbol defined in the image at `base`, looked up in its dynamic symbol table
// with the name compared without regard to ASCII case. Null when `base` starts no loaded image
// or the image defines no such symbol.
void* FindImageSymbolNoCase(uintptr_t base, const char* name);

// The mapping of this process that holds `address`, from the kernel's map; false when none.
struct MappingInfo {
    uintptr_t start = 0;
    uintptr_t end = 0;
};
bool FindMapping(const void* address, MappingInfo& mapping);

// The folder of the process's executable, with a trailing '/', as UTF-8; false when unknown.
// Writes at most capacity-1 bytes and a terminator; false when it does not fit.
bool ExecutableFolder(char* out, size_t capacity);

}  // namespace qzo::platform
