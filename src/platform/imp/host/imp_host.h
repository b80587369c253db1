// The host media library's own controls, for the board and for tests: where it finds the
// board's inputs (scene, faults, GPIO lines) and a fresh start between tests. The application
// never calls these.
#pragma once

#include <string>

namespace imp_host {

// The folder with the board's sensor inputs (scene, faults, IR-cut position, the ISP status
// file) and the GPIO tree. Defaults: /run/board/sensor and /sys/class/gpio, as the board's
// sandbox shows them. An empty argument keeps the current value.
void set_paths(const std::string& sensorDir, const std::string& gpioDir);

// Closes everything (channels, ISP, system) and forgets the EV start and fired faults, as a
// new process would start.
void reset();

}  // namespace imp_host
