#include "app/links/serial_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/records/log/app_log.h"

const char* mcuPortPath = "/dev/ttyS1";
const char* modemPortPath = "/dev/ttyS0";
int mcuPort = -1;
int modemPort = -1;

namespace {

// Returns the open and configured descriptor, or -1.
int open_port(const char* path, LogModule module) {
  int port = open(path, O_RDWR | O_NOCTTY | O_SYNC);
  if (port < 0) {
    app_log(module, LEVEL_ERR, "Error opening %s: %s", path, strerror(errno));
    return -1;
  }
  if (configure_port(port, B115200) != 0) {
    close(port);
    return -1;
  }
  return port;
}

}  // namespace

int configure_port(int port, speed_t speed) {
  termios settings{};
  // Both links report set-up failures under the MCU link's module.
  if (tcgetattr(port, &settings) != 0) {
    app_log(MOD_MCU_UART, LEVEL_ERR, "Error from tcgetattr: %s", strerror(errno));
    return -1;
  }
  cfsetospeed(&settings, speed);
  cfsetispeed(&settings, speed);

  settings.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag &= ~(PARENB | CSIZE | CRTSCTS);
  settings.c_cflag |= CS8 | CSTOPB | CREAD | CLOCAL;
  settings.c_cc[VMIN] = 0;
  settings.c_cc[VTIME] = 5;

  if (tcsetattr(port, TCSANOW, &settings) != 0) {
    app_log(MOD_MCU_UART, LEVEL_ERR, "Error from tcsetattr: %s", strerror(errno));
    return -1;
  }
  return 0;
}

int open_mcu_port() {
  mcuPort = open_port(mcuPortPath, MOD_MCU_UART);
  return mcuPort < 0 ? -1 : 0;
}

int open_modem_port() {
  modemPort = open_port(modemPortPath, MOD_MODEM_UART);
  return modemPort < 0 ? -1 : 0;
}
