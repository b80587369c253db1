// Linked into every test that runs the camera's code on the camera's own paths (/tmp/app.log,
// /config, /sdcard, the message queues) and lets it set the clock from the MCU's time. ctest
// starts such a test inside the camera sandbox; started by hand on the host, it would write the
// host's paths and set the host's clock. So it refuses to run anywhere but in the sandbox, whose
// first process is bubblewrap's.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

bool in_camera_sandbox() {
  std::ifstream first("/proc/1/comm");
  std::string name;
  return std::getline(first, name) && name == "bwrap";
}

[[maybe_unused]] const bool kInSandbox = [] {
  if (!in_camera_sandbox()) {
    fprintf(stderr,
            "This test runs the camera's code on the camera's paths and clock: it belongs "
            "inside the camera sandbox. Run it with ctest, or with sim/sandbox/camera-sandbox.\n");
    _exit(2);
  }
  return true;
}();

}  // namespace
