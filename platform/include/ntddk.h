// The driver's view of the kernel: everything in wdm.h.
#pragma once
#include "wdm.h"
