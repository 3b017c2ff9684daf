// Wait objects: COSObject, the owner of one waitable handle, with its events and semaphores, and
// waits on several such objects at once.
#pragma once

#include "qzobj/types.h"

// Wait results and limits.
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0u  // + index of the object that ended the wait
#endif
#ifndef WAIT_ABANDONED_0
#define WAIT_ABANDONED_0 128u  // + index of an abandoned object
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFFu  // the last error says why
#endif
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64u
#endif
#ifndef ERROR_TOO_MANY_POSTS
#define ERROR_TOO_MANY_POSTS 298u  // a semaphore released past its maximum
#endif

// Security attributes are accepted for the creating constructors' signatures and ignored: the
// objects live in this process only.
#ifndef QZOBJ_SECURITY_ATTRIBUTES_DEFINED
#define QZOBJ_SECURITY_ATTRIBUTES_DEFINED
struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    void* lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
#endif

// Owns one waitable handle (null when the object does not exist) and waits on it. A derived
// class may declare a signalled wait spurious through VerifyWaitSuccessful; the wait then goes on
// for the rest of its time-out, measured from the start of the wait, so spurious rounds never
// shorten or lengthen it and INFINITE stays infinite. Time-outs are compared as "ticks elapsed
// since the start" against the time-out, which stays right across the tick count's wrap.
//
// Thread safety: Wait, WaitMultiple and the derived classes' signalling members may be called
// concurrently from any thread; the platform's wait lock guards the objects' states. The handle
// itself is set at construction (COSExtEvent::Open and Close excepted) and must not be replaced
// or closed while another thread uses the object. Objects are not copyable: each owns its handle.
class QZOBJ_API COSObject {
  public:
    // Last-error values of the wait functions.
    static constexpr DWORD ErrorObjectMissing = 0x80000000u;   // an object has no handle
    static constexpr DWORD ErrorTooManyObjects = 0x80000001u;  // more than 64 objects

    COSObject();
    COSObject(const COSObject&) = delete;
    COSObject& operator=(const COSObject&) = delete;

    // Waits until the object is signalled, at most `timeout` ms (INFINITE: no limit). Returns 0,
    // 258 on time-out, or 0xFFFFFFFF: without a handle (last error ErrorObjectMissing, after the
    // warning "ObjectWait: Object does not exist") or when the handle is bad (last error 6).
    virtual DWORD Wait(DWORD timeout);
    // Checks a successful wait's result (0 + index); returning 258 declares the signal spurious.
    // The default returns the result unchanged.
    virtual DWORD VerifyWaitSuccessful(DWORD result);
    // Closes nothing: the derived classes that own their handles close them.
    virtual ~COSObject();

    HANDLE GetHandle() const { return m_hObject; }
    // 1 when the object has a handle.
    BOOL AssertValid() const { return m_hObject != nullptr ? TRUE : FALSE; }

    // Waits for any (`waitAll` zero) or all of `count` objects, at most `timeout` ms. Waiting for
    // any returns 0 + the lowest index among the signalled objects; waiting for all takes every
    // signal at one instant or none. A signal object i's VerifyWaitSuccessful calls spurious
    // continues the wait as Wait does. Over 64 objects: warning "ObjectWaitMultiple: Too many
    // objects", last error ErrorTooManyObjects; a missing object or handle: warning
    // "ObjectWaitMultiple: Object(s) do(es) not exist", last error ErrorObjectMissing; both
    // return 0xFFFFFFFF without waiting. A null array or a count of 0 fails with last error 87.
    static DWORD WaitMultiple(DWORD count, COSObject** objects, BOOL waitAll, DWORD timeout);
    // WaitMultiple for callers that also wait for window messages. The library has no message
    // queue here, so the wake mask is ignored and no result stands for a message; the limit stays
    // 64 objects. Its warnings begin "MsgObjectWaitMultiple:".
    static DWORD MsgWaitMultiple(DWORD count, COSObject** objects, BOOL waitAll, DWORD timeout,
                                 DWORD wakeMask);

  protected:
    // Closes the handle, if any, and forgets it.
    void CloseObjectHandle();

    HANDLE m_hObject;
};

// An object that can be created under a name. Every construction, in any thread, draws the next
// number from a process-wide atomic count; an object created without a name is named
// "CNamedOSObject<number>". Names are private to the process.
//
// Thread safety: constructors may run concurrently; the count is an atomic whose own increment
// gives each object its number, so no two objects share a default name. The name is immutable.
class QZOBJ_API CNamedOSObject : public COSObject {
  public:
    // This object's default name ("CNamedOSObject%u" with its number) and number.
    const WCHAR* GetDefaultName() const { return m_szDefaultName; }
    DWORD GetObjectNumber() const { return m_dwObjectNumber; }
    // Named objects constructed in this process so far.
    static DWORD GetObjectCount();

  protected:
    CNamedOSObject();
    // `name`, or the default name when it is null.
    const WCHAR* NameOrDefault(const WCHAR* name) const {
        return name != nullptr ? name : m_szDefaultName;
    }

  private:
    DWORD m_dwObjectNumber;
    WCHAR m_szDefaultName[32];  // "CNamedOSObject" and up to 10 digits
};

// An event. Thread safety: as COSObject; Set, Reset, Pulse and Wait may run concurrently.
class QZOBJ_API COSEvent : public CNamedOSObject {
  public:
    // An auto-reset event, not signalled, with the default name.
    COSEvent();
    // A duplicate of `handle` (an event made elsewhere); no handle when it is null or bad.
    explicit COSEvent(HANDLE handle);
    // With `create` non-zero: creates an auto-reset, non-signalled event of that name (the
    // default name when null), or opens the existing one. With `create` zero: opens an existing
    // event of that name with full rights; no handle when there is none.
    COSEvent(const WCHAR* name, BOOL create);
    COSEvent(LPSECURITY_ATTRIBUTES securityAttributes, BOOL manualReset, BOOL initialState,
             const WCHAR* name);
    ~COSEvent() override;

    // Non-zero on success; 0 without a handle or when the handle is bad.
    BOOL Set();
    BOOL Reset();
    // Releases the threads waiting now (one for auto-reset, all for manual-reset) and leaves the
    // event not signalled.
    BOOL Pulse();
};

// An event that attaches to a handle made elsewhere. Thread safety: as COSEvent, except that
// Open and Close must not run while another thread uses the object.
class QZOBJ_API COSExtEvent : public COSEvent {
  public:
    COSExtEvent();  // without handle
    // 1 after duplicating `handle`; 0 when the object already holds one (which it keeps) or the
    // duplication fails.
    BOOL Open(HANDLE handle);
    // Closes the handle, if any; returns 1.
    BOOL Close();
};

// A semaphore. Thread safety: as COSObject; Release and Wait may run concurrently.
class QZOBJ_API COSSemaphore : public CNamedOSObject {
  public:
    // Count 1, maximum 1, the default name.
    COSSemaphore();
    // Creates the semaphore (the default name for a null name) or opens the existing one.
    COSSemaphore(LONG initialCount, LONG maximumCount, const WCHAR* name);
    COSSemaphore(LPSECURITY_ATTRIBUTES securityAttributes, LONG initialCount, LONG maximumCount,
                 const WCHAR* name);
    ~COSSemaphore() override;

    // Adds `count` units; the count before goes to *previousCount when not null. 0 without a
    // handle, for a count below 1 (last error 87) and past the maximum (last error 298, nothing
    // changed).
    BOOL Release(LONG count, LONG* previousCount = nullptr);
};
