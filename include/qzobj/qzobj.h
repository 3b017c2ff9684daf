// Everything a host or driver library includes.
#pragma once

#include "qzobj/crash.h"
#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/hashid.h"
#include "qzobj/memory.h"
#include "qzobj/objmodel.h"
#include "qzobj/os.h"
#include "qzobj/process.h"
#include "qzobj/signal.h"
#include "qzobj/store.h"
#include "qzobj/suitelibs.h"
#include "qzobj/types.h"
