// camera_app: brings the camera up, then runs the system server on the main thread for ever.
#include "app/system/startup.h"
#include "app/system/state_machine.h"

int main() {
  app_startup();
  system_server_loop();
}
