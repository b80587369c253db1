#include <dlfcn.h>

#include "platform/imp/host/host_media.h"

namespace imp_host {

namespace {

using Mark = void (*)();

// The simulated board's clock shim, when the library runs on the board: it offers these two
// calls. Elsewhere they are absent and hardware work is only computing.
struct BoardMarks {
  Mark begin = reinterpret_cast<Mark>(dlsym(RTLD_DEFAULT, "board_clock_hardware_begin"));
  Mark end = reinterpret_cast<Mark>(dlsym(RTLD_DEFAULT, "board_clock_hardware_end"));
};

const BoardMarks& marks() {
  static const BoardMarks found;
  return found;
}

}  // namespace

HardwareWork::HardwareWork() {
  if (marks().begin != nullptr) {
    marks().begin();
  }
}

HardwareWork::~HardwareWork() {
  if (marks().end != nullptr) {
    marks().end();
  }
}

}  // namespace imp_host
