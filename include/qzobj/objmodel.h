// The run-time class registry: one record per class of the object model, registered in a
// process-wide directory of 1024 buckets, and the driver libraries that define further classes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qzobj/export.h"
#include "qzobj/memblock.h"
#include "qzobj/types.h"

class CQZRTObject;
class CQZRuntimeClass;

// Declared class flags (kept by registration) and run-time flags (set by the registry).
#define QZRTC_PERSISTENT 0x01u     // stored on disk; needs the whole base chain persistent too
#define QZRTC_FIRSTCALL 0x02u      // registered, first control call (code 1) still pending
#define QZRTC_NOTLIBRARY 0x04u     // the record lies outside any library image
#define QZRTC_HIDDEN 0x08u         // skipped by lookups by GUID and by enumerations
#define QZRTC_DIRECTLOAD 0x10u     // its library was loaded by the registry and is freed by it
#define QZRTC_CTRL3 0x20u          // the class answered control code 3 with a non-zero value
#define QZRTC_NOTCREATABLE 0x40u   // not creatable by the object store
#define QZRTC_RECORDEDPATH 0x80u   // stored references keep their recorded library path
#define QZRTC_DECLAREDFLAGS 0xC1u  // the bits registration keeps from the definer

// Registration statuses (dwStatus) and results of RegisterClass and UnRegisterClass.
#define QZRTC_REGISTERED 0u
#define QZRTC_NOBASE 2u        // the base class is not registered
#define QZRTC_FAULTPREPARE 3u  // a fault while the record was examined
#define QZRTC_DUPLICATE 4u     // same hash identifier and GUID already registered
#define QZRTC_FAULTINSERT 5u   // a fault while the record was inserted
#define QZRTC_BADSIZE 6u       // base size differs from the expected one, or cbSize is wrong
#define QZRTC_CTRLFAULT 7u     // the control procedure faulted during registration
#define QZRTC_NOTFOUND 9u      // unregistration found the bucket empty or the record missing
#define QZRTC_NOFACTORY 11u    // persistent without a creation function
#define QZRTC_UNREGISTERED 13u
#define QZRTC_NOINSTANCE 14u     // no module instance or no usable module file name
#define QZRTC_FREED 15u          // the class's library has been freed by the registry
#define QZRTC_NEVER 0xFFFFFFFFu  // the definer's initial status

// Class control codes (the parameter is 0 for all of them).
#define QZRTC_CTRL_INIT 1u      // first call, in registration order
#define QZRTC_CTRL_SHUTDOWN 2u  // at shutdown, in reverse registration order
#define QZRTC_CTRL_FLAG 3u      // during registration: non-zero sets QZRTC_CTRL3
#define QZRTC_CTRL_DATAID 5u    // during registration: the class's data identifier

#define QZRTC_BUCKETS 1024u
#define QZRTC_LOADFAIL_RANGE 0x20000u  // bytes reserved for the load-failure list

typedef CQZRTObject* (*PFNQZCREATEOBJECT)();
typedef DWORD (*PFNQZCLASSCTRLPROC)(DWORD code, DWORD parameter);
// Enumeration callback: non-zero goes on, 0 stops the enumeration.
typedef BOOL (*PFNQZENUMCLASSES)(CQZRuntimeClass* record, uintptr_t parameter);

// One class record: static data of the defining module, filled in further by registration.
// The definer writes cbSize = sizeof(CQZRuntimeClass), dwObjSize, szClassName, uNameID, guid,
// the declared flags, pfnCreateObject, pfnClassCtrlProc, dwStatus = QZRTC_NEVER and
// dwVTblVersion; everything else is zero.
//
// Reading notes:
// - Sizes are this build's natural ones: cbSize is sizeof(CQZRuntimeClass) (936 bytes on
//   x86-64, 912 on 32-bit builds); GetClassList holds pointers and grows by ten of them.
// - Name buffers of 260 units hold at most 259 units and the terminator: a module path that does
//   not fit gives QZRTC_NOINSTANCE, a candidate library path that does not fit is skipped, a
//   working folder that does not fit is refused.
// - A record re-registered while it is in the directory is refused with QZRTC_DUPLICATE and
//   left exactly as it was.
// - dwOrder is a sequence number that never goes back, so a class registered later always
//   sorts after the classes registered before it, also after unregistrations.
// - UnRegisterClass gives QZRTC_NOTFOUND, changing nothing, for an identifier with any of the
//   bits 0xFC00 set, an empty bucket, or a record missing from its chain. A record whose library
//   the registry is freeing (QZRTC_FREED, taken out of the directory for the freeing) is set to
//   QZRTC_UNREGISTERED with result 0.
// - "Library image" means a shared library other than the main program.
//
// Thread safety: one re-entrant registry lock serialises registration, unregistration, library
// loading and freeing, enumerations (callbacks run with it held), IsKindOf, IsUnique,
// SanitizeLoads and UnloadClassLibs. GetClassPtr reads without a lock: bucket heads, pNext,
// dwFlags and dwStatus are published with release and read with acquire. CallClassCtrlProc,
// CheckVTblVersion and CheckRTClass take no lock. KickAllClassesOf takes no lock and may only be
// called while no other thread uses the registry.
//
// Driver libraries: the C library holds its loader lock while a library's constructors and
// destructors run, so a driver registering from its constructor holds the loader lock before the
// registry lock. The registry therefore loads and frees libraries only while it holds its own
// lock (registry lock first, then the loader's). Hosts load driver libraries through
// LoadClassLibrary only, never with their own dlopen while other threads use the registry.
class QZOBJ_API CQZRuntimeClass {
  public:
    DWORD cbSize;
    DWORD dwObjSize;
    char szClassName[32];
    UINT uNameID;
    WCHAR szDisplayName[128];
    WCHAR szDLLPath[MAX_PATH];
    HINSTANCE hInstance;
    DWORD dwHashID;
    GUID guid;
    DWORD dwFlags;
    DWORD dwOrder;
    DWORD dwDataID;
    PFNQZCREATEOBJECT pfnCreateObject;
    PFNQZCLASSCTRLPROC pfnClassCtrlProc;
    CQZRuntimeClass* pBaseClass;
    CQZRuntimeClass* pNext;
    DWORD dwStatus;
    DWORD dwVTblVersion;
    BYTE reserved[32];

    // Registry life cycle (process attach and detach). Init empties the directory, sets the
    // working folder to this library's folder and reserves the load-failure list; Exit releases
    // the list. Both return TRUE unless the library's folder cannot be found.
    static BOOL Init();
    static BOOL Exit();

    static CQZRuntimeClass* GetClassPtr(const GUID* guid, DWORD hashID);
    static CQZRuntimeClass* IsUnique(DWORD hashID);
    static CQZRuntimeClass* IsClassLibraryLoaded(const WCHAR* path);
    static BOOL LoadClassLibrary(const WCHAR* path, BOOL sanitize);
    // TRUE when the callback stopped the walk, FALSE after the last record.
    static BOOL EnumClasses(PFNQZENUMCLASSES callback, uintptr_t parameter);
    // A block of record pointers, one per visible record.
    static CPMemory GetClassList();
    // Every record (hidden ones too) sorted by dwOrder, followed by a null; free it with
    // FreeOrderedClassList. Null when the directory's integrity is broken.
    static CQZRuntimeClass** GetOrderedClassList(DWORD* count);
    static void FreeOrderedClassList(CQZRuntimeClass** list);
    static void SanitizeLoads();
    static void UnloadClassLibs();
    static void DumpClasses();
    static void KickAllClassesOf(HINSTANCE instance);
    static BOOL SetWorkingDir(const WCHAR* path);
    static const WCHAR* GetWorkingDir();
    // The number of records in the directory.
    static DWORD GetClassCount();

    DWORD RegisterClass(HINSTANCE instance, CQZRuntimeClass* base, DWORD expectedBaseSize);
    DWORD UnRegisterClass();
    BOOL IsKindOf(const CQZRuntimeClass* record) const;
    BOOL EnumKindClasses(PFNQZENUMCLASSES callback, uintptr_t parameter) const;
    BOOL EnumChildClasses(PFNQZENUMCLASSES callback, uintptr_t parameter) const;
    DWORD GetClassFamily(CQZRuntimeClass* const* records, DWORD count) const;
    DWORD CallClassCtrlProc(DWORD code, DWORD parameter) const;
    BOOL CheckVTblVersion(DWORD expectedVersion, const CQZRuntimeClass* dependent) const;
    BOOL CheckRTClass(DWORD expectedSize, DWORD expectedVersion) const;

  private:
    // Diagnostic tools and the registry's tests reach the private operations through this.
    friend struct CQZRuntimeClassProbe;

    static HINSTANCE LoadLibrary(const WCHAR* path, BOOL sanitize);
    static BOOL MarkDirectLoad(HINSTANCE instance);
    static void MarkFreed(HINSTANCE instance);
    static void LoadFail_Add(const WCHAR* name);
    static BOOL LoadFail_Check(const WCHAR* name);
    static CQZRuntimeClass* FindClosestMatchPtr(const GUID* guid, WORD bucket, WORD key);
};

static_assert(sizeof(void*) != 8 || sizeof(CQZRuntimeClass) == 936, "class record layout");
static_assert(sizeof(void*) != 4 || sizeof(CQZRuntimeClass) == 912, "class record layout");
static_assert(offsetof(CQZRuntimeClass, szDisplayName) == 44, "class record layout");
static_assert(offsetof(CQZRuntimeClass, szDLLPath) == 300, "class record layout");

// Services for driver libraries, which link the shared library.

// One entry of a module's string table; the text must outlive the registration.
struct QZOBJ_STRINGRES {
    UINT id;
    const WCHAR* text;
};
// One class a driver registers: its record, its base record (null for a root class) and the
// base's instance size as the driver was built against it.
struct QZOBJ_DRIVERCLASS {
    CQZRuntimeClass* pClass;
    CQZRuntimeClass* pBaseClass;
    DWORD dwBaseObjSize;
};

// The module (its base address) that holds `address`, or null.
QZOBJ_EXTERN_C QZOBJ_API HINSTANCE QZOBJ_ModuleFromAddress(const void* address);
// Registers the string table of `module` (read by LLoadStringW), then its classes in order.
// Returns the number of classes that registered with status 0.
QZOBJ_EXTERN_C QZOBJ_API DWORD QZOBJ_AttachDriver(HINSTANCE module, const QZOBJ_STRINGRES* strings,
                                                  size_t stringCount,
                                                  const QZOBJ_DRIVERCLASS* classes,
                                                  size_t classCount);
// Unregisters the classes in reverse order, then the string table.
QZOBJ_EXTERN_C QZOBJ_API void QZOBJ_DetachDriver(HINSTANCE module, const QZOBJ_DRIVERCLASS* classes,
                                                 size_t classCount);

// Use once in one source file of a driver library: registers the driver's string table and its
// classes when the library is loaded, and unregisters both when it is unloaded. The tables are
// arrays (or null with a count of 0) that live as long as the library.
#define QZOBJ_DRIVER_ENTRY(strings, stringCount, classes, classCount)                              \
    namespace {                                                                                    \
    __attribute__((constructor)) void QzobjDriverAttach() {                                        \
        QZOBJ_AttachDriver(                                                                        \
            QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&QzobjDriverAttach)), (strings), \
            (stringCount), (classes), (classCount));                                               \
    }                                                                                              \
    __attribute__((destructor)) void QzobjDriverDetach() {                                         \
        QZOBJ_DetachDriver(                                                                        \
            QZOBJ_ModuleFromAddress(reinterpret_cast<const void*>(&QzobjDriverDetach)), (classes), \
            (classCount));                                                                         \
    }                                                                                              \
    }

// ---------------------------------------------------------------------------------------------
// The run-time object base: the root of every class the registry can create.

// The signature word of a live object; 0 once its memory has been given back.
#define QZRTOBJ_SIGNATURE 0xBADBADAAu

// Modes of CQZRTObject::AssertValid: the low half chooses the class test, the high half
// (exactly QZRTOBJ_ASSERT_OBJECT) adds AssertObject.
#define QZRTOBJ_ASSERT_TYPE 0x0001u     // the object's class record is exactly the one given
#define QZRTOBJ_ASSERT_KIND 0x0002u     // the object's class is a kind of the one given
#define QZRTOBJ_ASSERT_OBJECT 0x10000u  // AssertObject must succeed too

class CQZArchive;
class CPProperty;

// The root object: a run-time class, a lock count (references) with deletion when the last one
// goes, a signature by which damaged or freed objects are recognised, and allocation from the
// "CQZRTObjectHeap" heap. Derived classes use the static Store/Load helpers in their StoreData
// and LoadData.
//
// Reading notes:
// - The instance size is this build's natural one: dwObjSize of classCQZRTObject is
//   sizeof(CQZRTObject).
// - A copy starts with its own lock count of 1 and a valid signature; assignment copies
//   nothing of the two words, so each object keeps its own references.
// - Assert, AssertObject, AssertValid, IsKindOf and GetClassFamily check that the virtual
//   table lies in a non-executable segment of a loaded module and that its first entry points into
//   module code before any virtual call, so a forged or damaged object is refused instead of
//   being called through.
//
// Thread safety: Lock, DelObject and QueryLockCnt may be called concurrently from any thread
// (the count changes only atomically; DelObject never takes it below 0). The final FreeObject
// runs on the thread that dropped the last reference. The checks may run concurrently with
// each other. The heap serialises allocation itself.
class QZOBJ_API CQZRTObject {
  public:
    CQZRTObject();
    CQZRTObject(const CQZRTObject& source);
    CQZRTObject& operator=(const CQZRTObject& source);

    // Virtual operations, in table order.
    virtual CQZRuntimeClass* GetRuntimeClass() const;
    // Destroys the object and gives its memory back (through the virtual destructor).
    virtual void FreeObject();
    // The base stores and loads nothing and succeeds.
    virtual BOOL StoreData(CQZArchive& archive);
    virtual BOOL LoadData(CQZArchive& archive);
    virtual ~CQZRTObject();
    // Drops one reference; the call that brings the count to 0 frees the object.
    virtual void DelObject();
    // Plausibility test of the object's memory: a lock count above 0 and a genuine table.
    virtual BOOL Assert() const;
    // Adds one reference; TRUE.
    virtual BOOL Lock();

    static CQZRuntimeClass* GetClassRegisterPtr();
    // The class record's creation function: a new object, or null.
    static CQZRTObject* CreateObject();

    // Allocation from the object heap. A failed allocation reports and gives null, so new
    // expressions of these classes test for null instead of throwing.
    static void* operator new(size_t size) noexcept;
    // Gives the memory back only when the signature is valid, clearing it; a damaged or already
    // deleted object is reported and nothing is freed.
    static void operator delete(void* pointer);
    // Construction in storage the caller owns.
    static void* operator new(size_t, void* place) noexcept { return place; }
    static void operator delete(void*, void*) {}

    DWORD QueryLockCnt() const;
    // FALSE for null; otherwise whether the object's class is a kind of `record`.
    BOOL IsKindOf(const CQZRuntimeClass* record) const;
    // Index of the first record of which the object's class is a kind, or 0xFFFFFFFF.
    DWORD GetClassFamily(CQZRuntimeClass* const* records, DWORD count) const;

    // FALSE for an invalid signature, otherwise the result of Assert (a fault gives FALSE).
    BOOL AssertObject() const;
    // Checks the object's class (mode, see QZRTOBJ_ASSERT_*) and reports a failure with its
    // reason ("BAD ACCESS", "TYPE", "KIND", "OBJECT") and a walk of the stack from `caller`.
    BOOL AssertValid(DWORD mode, const CQZRuntimeClass* record, void* caller, const char* file,
                     DWORD line) const;

    // Raw bytes as the payload of one chunk `name`. StoreMemory with size 0 writes an empty
    // chunk. LoadMemory reads min(chunk size, size) bytes and succeeds when all of them came.
    static BOOL StoreMemory(CQZArchive& archive, const char* name, const void* data, DWORD size);
    static BOOL LoadMemory(CQZArchive& archive, const char* name, void* data, DWORD size);
    // A property as a chunk `name`: its type (u32) and identifier (16 bytes), then its block as
    // an inner chunk of the same name. Nothing is written or read when the chunk cannot open.
    static BOOL StoreProperty(CQZArchive& archive, const char* name, CPProperty& property);
    // Empties the property first; on success it takes the stored type and identifier.
    static BOOL LoadProperty(CQZArchive& archive, const char* name, CPProperty& property);

  protected:
    // TRUE when the signature word is QZRTOBJ_SIGNATURE; a fault while reading gives FALSE.
    BOOL IsValidSignature() const;
    void ClearSignature();
    // Drops one reference only while others remain: TRUE when it did, FALSE (nothing changed)
    // when the count is 1 or 0, so that exactly one caller goes on to the last-reference steps.
    // `seen` receives the count found at the last attempt.
    BOOL ReleaseUnlessLast(DWORD* seen);

  private:
    BOOL Load(CQZArchive& archive);
    BOOL Store(CQZArchive& archive);

    DWORD m_dwSignature;  // QZRTOBJ_SIGNATURE while the memory is the object's
    DWORD m_dwLockCnt;    // references; changed only atomically
};

// The class record of CQZRTObject. Registered as a root class at process attach:
// classCQZRTObject.RegisterClass(<library module>, nullptr, 0).
QZOBJ_API extern CQZRuntimeClass classCQZRTObject;
