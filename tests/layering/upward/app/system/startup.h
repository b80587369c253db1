// Planted: start-up includes the log, a lower layer, as it may.
#pragma once

#include "app/records/log/app_log.h"
