// The last line of defence: on the first unhandled exception of the process (a fault no guard
// takes, or an uncaught C++ exception) the installed filter appends a crash record to
// "CrashRecord.txt" in the application root folder (QZOBJ_GetAppRootDir) and shows one message
// box; then the process ends by the fault's signal with its default action (SIGABRT for an
// uncaught C++ exception).
//
// The record: a head with the local weekday, date and time; "Thread: Main" or "Thread:
// Unspecified worker thread" with the thread's ID; "Build <text>" from key "Build" of section
// "Version" of the first "resource/*.sc" file beside the library; then AnalyseException's
// report in debug mode (exception line, name line, system figures, registers, call stack).
// Everything the filter needs that would allocate (the record's path, the build text, the
// main thread's ID, the local time zone's offset) is prepared when the filter is installed and
// again by ReInit; the record is written with plain appending writes.
//
// One record per process: the first exception turns the record switch off with an atomic
// exchange. A further fault on the reporting thread ends the process at once; one on another
// thread waits up to 10 s for the record to be finished, then the process ends.
//
// Builds made without the signal guard (sanitizer builds) record nothing for faults.
#pragma once

#include "qzobj/types.h"

// The exception code under which an uncaught C++ exception (std::terminate) is reported.
#define QZO_EXCEPTION_UNCAUGHT_CPP 0xE0515A43u

// One object lives from library load to unload; more may be made. Construction and
// destruction are meant for start-up and shutdown; ReInit may be called from any thread.
class QZOBJ_API CUnhandledException {
  public:
    // Installs TopLevelExceptionFilter as the process's filter and counts the object.
    CUnhandledException();
    // Removes the filter when this is the last object.
    ~CUnhandledException();
    CUnhandledException(const CUnhandledException&) = delete;
    CUnhandledException& operator=(const CUnhandledException&) = delete;

    // Installs the filter again, with the fault signal handlers, and prepares the record anew
    // (for callers whose other components replaced the handlers). 1 when at least one object
    // exists, else 0 and nothing is installed.
    static BOOL ReInit();

    // Writes the crash record for the first exception; returns 1.
    static LONG TopLevelExceptionFilter(EXCEPTION_POINTERS* pointers);
};
