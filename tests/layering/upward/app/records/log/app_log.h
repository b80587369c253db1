// Planted: the bottom layer (the log) includes the top one (start-up). The layering check must
// reject this tree.
#pragma once

#include "app/system/core/sys_info.h"
#include "app/system/startup.h"
