// The media library's own log facility, used by code that reports media faults under the
// library's tags (e.g. "AV-Common") rather than through the application log.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  IMP_LOG_LEVEL_DEBUG = 3,
  IMP_LOG_LEVEL_INFO = 4,
  IMP_LOG_LEVEL_WARN = 5,
  IMP_LOG_LEVEL_ERROR = 6,
} IMPLogLevel;

void IMP_Log_Print(IMPLogLevel level, const char* tag, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#ifdef __cplusplus
}
#endif

#define IMP_LOG_ERR(tag, ...) IMP_Log_Print(IMP_LOG_LEVEL_ERROR, (tag), __VA_ARGS__)
#define IMP_LOG_INFO(tag, ...) IMP_Log_Print(IMP_LOG_LEVEL_INFO, (tag), __VA_ARGS__)
