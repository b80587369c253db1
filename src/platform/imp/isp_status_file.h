// The ISP driver's status file ("/proc/jz/isp/isp-m0"): exposure time and gains as text.
//
// The application opens it by its camera path through isp_status_fopen(). On the camera that
// is fopen(); on a host, where procfs has no ISP, the path is mapped to the simulated ISP's
// status file on the board, which holds the same lines.
#pragma once

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// The camera path of the status file.
#define ISP_STATUS_PATH "/proc/jz/isp/isp-m0"

// fopen() of `path`, with ISP_STATUS_PATH served as this platform does. NULL with errno set
// on failure.
FILE* isp_status_fopen(const char* path, const char* mode);

#ifdef __cplusplus
}
#endif
