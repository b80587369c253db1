// Planted for the layering check's test: the board writing the camera's configuration file
// with the camera's own code.
#include "app/config/config_store.h"
