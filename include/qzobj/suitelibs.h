// The suite's shared libraries as this library provides them.
#pragma once

#include "qzobj/inistore.h"
#include "qzobj/pathkit.h"
#include "qzobj/qzoplatu.h"
#include "qzobj/uikit.h"
