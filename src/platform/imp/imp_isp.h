// The image signal processor (ISP), its sensor and its tuning: running mode, contrast,
// brightness, exposure, white balance.
#pragma once

#include <stdint.h>

#include "platform/imp/imp_common.h"

#ifdef __cplusplus
extern "C" {
#endif

// How the ISP talks to the sensor's registers.
typedef enum {
  TX_SENSOR_CONTROL_INTERFACE_I2C = 1,
  TX_SENSOR_CONTROL_INTERFACE_SPI = 2,
} IMPSensorControlBusType;

typedef struct {
  char type[20];  // I2C device type, e.g. "os02g10"
  int addr;       // 7-bit device address
  int i2c_adapter_id;
} IMPI2CInfo;

// The sensor description given to IMP_ISP_AddSensor / IMP_ISP_DelSensor. Callers zero every
// byte before filling the fields.
typedef struct {
  char name[32];  // sensor name, e.g. "os02g10"
  IMPSensorControlBusType cbus_type;
  IMPI2CInfo i2c;
  unsigned short rst_gpio;
  unsigned short pwdn_gpio;
  unsigned short power_gpio;
} IMPSensorInfo;

typedef enum {
  IMPISP_RUNNING_MODE_DAY = 0,
  IMPISP_RUNNING_MODE_NIGHT = 1,
} IMPISPRunningMode;

// Exposure attributes, in this order.
typedef struct {
  uint32_t ev;         // exposure value
  uint32_t expr_us;    // exposure time, microseconds
  uint32_t ev_log2;    // exposure value, log2 fixed point
  uint32_t again;      // analog gain
  uint32_t dgain;      // digital gain
  uint32_t gain_log2;  // total gain, log2 fixed point
} IMPISPEVAttr;

// Auto-exposure state: the first byte is nonzero while the exposure is stable.
typedef struct {
  uint8_t stable;
  uint8_t reserved[3];
  uint32_t target_luma;  // the luma the exposure aims at
  uint32_t scene_luma;   // the luma it measures
} IMPISPAEState;

typedef enum {
  ISP_CORE_WB_MODE_AUTO = 0,
  ISP_CORE_WB_MODE_MANUAL,
  ISP_CORE_WB_MODE_DAY_LIGHT,
  ISP_CORE_WB_MODE_CLOUDY,
  ISP_CORE_WB_MODE_INCANDESCENT,
  ISP_CORE_WB_MODE_FLOURESCENT,
  ISP_CORE_WB_MODE_TWILIGHT,
  ISP_CORE_WB_MODE_SHADE,
  ISP_CORE_WB_MODE_WARM_FLOURESCENT,
} IMPISPWBMode;

// White balance: the first field is the mode.
typedef struct {
  IMPISPWBMode mode;
  uint16_t rgain;  // red gain, 1.0 = 256 (manual mode)
  uint16_t bgain;  // blue gain, 1.0 = 256 (manual mode)
} IMPISPWB;

// ISP device and sensor. 0 on success; negative or nonzero on failure.
int IMP_ISP_Open(void);
int IMP_ISP_Close(void);
int IMP_ISP_AddSensor(IMPSensorInfo* sensor);
int IMP_ISP_DelSensor(IMPSensorInfo* sensor);
int IMP_ISP_EnableSensor(void);
int IMP_ISP_DisableSensor(void);
int IMP_ISP_EnableTuning(void);
int IMP_ISP_DisableTuning(void);

// Tuning. 0 on success.
int IMP_ISP_Tuning_SetContrast(unsigned char contrast);
int IMP_ISP_Tuning_SetBrightness(unsigned char brightness);
int IMP_ISP_Tuning_SetISPRunningMode(IMPISPRunningMode mode);
int IMP_ISP_Tuning_GetISPRunningMode(IMPISPRunningMode* ret_mode);
// Fills `attr` with the current exposure. Negative on failure.
int IMP_ISP_Tuning_GetEVAttr(IMPISPEVAttr* attr);
int IMP_ISP_Tuning_GetAeState(IMPISPAEState* state);
int IMP_ISP_Tuning_GetWB(IMPISPWB* wb);
// Auto exposure starts from the exposure value `*ev` (e.g. the previous capture's), now when
// the sensor runs, else at its next start; a stopped sensor forgets it. 0 leaves the start to
// the sensor.
int IMP_ISP_Tuning_SetEvStart(const uint32_t* ev);

#ifdef __cplusplus
}
#endif
