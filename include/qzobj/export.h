// Export and calling conventions of the library's public interface.
#pragma once

#if defined(_WIN32)
#if defined(QZOBJ_BUILDING_LIBRARY)
#define QZOBJ_API __declspec(dllexport)
#else
#define QZOBJ_API __declspec(dllimport)
#endif
#else
#define QZOBJ_API __attribute__((visibility("default")))
#endif

#if defined(__cplusplus)
#define QZOBJ_EXTERN_C extern "C"
#else
#define QZOBJ_EXTERN_C
#endif
