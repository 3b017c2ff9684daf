// Everything a host or driver library includes.
#pragma once

#include "qzobj/diag.h"
#include "qzobj/frame.h"
#include "qzobj/suitelibs.h"
#include "qzobj/types.h"
