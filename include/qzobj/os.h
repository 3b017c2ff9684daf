// The operating-system family: locks, files, mailslots, performance counters, threads and wait
// objects. This header only gathers the family's headers.
#pragma once

#include "qzobj/file.h"
#include "qzobj/locks.h"
#include "qzobj/mailslot.h"
#include "qzobj/perf.h"
#include "qzobj/threads.h"
#include "qzobj/types.h"
#include "qzobj/waitobj.h"
