// What the board tells the simulated sensor: the scene, the faults it injects, and the lines
// the camera drives (IR LEDs, IR-cut filter coil, sensor supply).
//
// Files of the sensor folder, written by the board:
//   scene   - "light day|night", "crossing deer|none [SECONDS]"
//   faults  - "fail ID OPERATION once|always", "frames stop", "exposure unstable"
//   ircut   - "day" or "night": where the filter was left before this power-up
//   evstart - the exposure value the boot firmware programmed into the sensor (0: none)
// and written here:
//   fired   - one line per fired "once" fault: its ID
//   isp-m0  - the ISP status text
#pragma once

#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <string>
#include <string_view>
#include <vector>

namespace imp_host {

enum class Light { kDay, kNight };

struct SceneSetting {
  Light light = Light::kDay;
  bool crossing = true;          // an animal crosses the view
  double crossingSeconds = 8.0;  // time to walk from one side to the other
};

struct FaultSetting {
  struct Fail {
    int id = 0;
    std::string operation;
    bool always = false;
  };
  std::vector<Fail> fails;
  bool framesStopped = false;
  bool exposureUnstable = false;
};

// Where the IR-cut filter sits: in the light path (day) or out of it (night).
enum class IrCut { kDay, kNight };

// Parsers of the files above; unknown lines are skipped, so a newer board stays readable.
SceneSetting parse_scene(std::string_view text);
FaultSetting parse_faults(std::string_view text);

class BoardInputs {
 public:
  void set_paths(const std::string& sensorDir, const std::string& gpioDir);
  const std::string& sensor_dir() const { return sensorDir_; }

  // The files are read again only when they change.
  const SceneSetting& scene();
  const FaultSetting& faults();
  // True when OPERATION is to fail now; a "once" fault fires a single time and is noted in
  // the fired file, so it stays fired for the rest of the scenario.
  bool fails(std::string_view operation);
  // Reads every file afresh at the next use, as a new process would.
  void forget();

  // Camera-driven lines, read from the GPIO tree now.
  bool ir_leds_on();
  IrCut ir_cut();
  bool sensor_powered();
  // The exposure value the sensor starts from at power-up; 0 when the firmware set none.
  uint32_t boot_ev_start();

 private:
  struct Watched {
    std::string text;
    timespec mtime{};
    bool present = false;
  };
  bool refresh(const std::string& name, Watched* file);
  std::string gpio_file(int line, std::string_view what) const;

  std::string sensorDir_ = "/run/board/sensor";
  std::string gpioDir_ = "/sys/class/gpio";
  Watched sceneFile_, faultFile_, firedFile_;
  SceneSetting scene_;
  FaultSetting faults_;
  std::vector<int> fired_;
};

}  // namespace imp_host
