// Planted: start-up includes the log, a lower layer, as it may.
#pragma once

#include "app/records/app_log.h"
