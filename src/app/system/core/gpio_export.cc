#include "app/system/core/gpio_export.h"

#include "app/system/core/shell.h"

int export_gpio8() {
  int result = run_shell("echo 8 > /sys/class/gpio/export");
  return run_shell("echo 'out' > /sys/class/gpio/gpio8/direction") == 0 ? result : -1;
}

int export_gpio42() {
  int result = run_shell("echo 42 > /sys/class/gpio/export");
  return run_shell("echo \"out\" > /sys/class/gpio/gpio42/direction") == 0 ? result : -1;
}
