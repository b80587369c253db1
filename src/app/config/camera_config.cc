#include "app/config/camera_config.h"

CameraConfig* cameraConfig = nullptr;
ServerConfig* serverConfig = nullptr;
