// The driver's scan-job interface as the window uses it.
#pragma once

#include "scan.h"
