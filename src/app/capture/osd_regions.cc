// Placement of the information bar's regions and logos per camera model. Model 7 records
// 1280x720 and has the bar of that frame; model 6 has its own brand and no Celsius, moon or
// family logo; the others share one layout with logo positions of their own.
#include "app/capture/osd_assets.h"

namespace {

constexpr IMPRect rect(int x0, int y0, int x1, int y1) {
  return IMPRect{{x0, y0}, {x1, y1}};
}

constexpr OsdLayout kModel1{
    rect(20, 1032, 339, 1079),  rect(365, 1032, 524, 1079),   rect(495, 1032, 562, 1079),
    rect(652, 1032, 811, 1079), rect(575, 1032, 734, 1079),   rect(844, 1032, 1003, 1079),
    rect(767, 1032, 926, 1079), rect(1018, 1036, 1057, 1075), rect(942, 1036, 981, 1075),
    rect(0, 1032, 1919, 1079),
};

constexpr OsdLayout kCommon{
    rect(20, 1032, 339, 1079),  rect(358, 1032, 517, 1079),   rect(488, 1032, 555, 1079),
    rect(648, 1032, 807, 1079), rect(568, 1032, 727, 1079),   rect(865, 1032, 1024, 1079),
    rect(785, 1032, 944, 1079), rect(1090, 1036, 1129, 1075), rect(1010, 1036, 1049, 1075),
    rect(0, 1032, 1919, 1079),
};

// No Celsius and no moon: those rectangles stay empty.
constexpr OsdLayout kModel6{
    rect(10, 1032, 389, 1077),
    rect(272, 1032, 613, 1077),
    rect(466, 1032, 541, 1077),
    rect(563, 1032, 752, 1077),
    rect(482, 1032, 671, 1077),
    IMPRect{},
    IMPRect{},
    IMPRect{},
    IMPRect{},
    rect(0, 1020, 1919, 1079),
};

constexpr OsdLayout kModel7{
    rect(20, 672, 339, 719),  rect(298, 672, 457, 719), rect(428, 672, 495, 719),
    rect(528, 672, 687, 719), rect(448, 672, 607, 719), rect(685, 672, 844, 719),
    rect(605, 672, 764, 719), rect(840, 676, 879, 715), rect(760, 676, 799, 715),
    rect(0, 672, 1279, 719),
};

constexpr uint32_t kBrandColor = 0xFFF0A020;
constexpr uint32_t kFamilyColor = 0xFFFFFFFF;
constexpr uint32_t kCodeColor = 0xFFFFD040;

constexpr OsdLogo brand(IMPRect where) {
  return {"KESTROVA", where, "Kestrova logo selected !", kBrandColor};
}
constexpr OsdLogo family(const char* text, IMPRect where, const char* line) {
  return {text, where, line, kFamilyColor};
}
constexpr OsdLogo code(const char* text, const char* line) {
  return {text, rect(1829, 1050, 1896, 1067), line, kCodeColor};
}
constexpr OsdLogo kNoLogo{nullptr, rect(1829, 1050, 1896, 1067), nullptr, 0};

constexpr IMPRect kBrandAt1415 = rect(1415, 1037, 1633, 1075);
constexpr IMPRect kK52Family = rect(1663, 1047, 1810, 1068);

}  // namespace

OsdModel osd_model(int model, bool nightLogo) {
  switch (model) {
    case 1:
      return {&kModel1, brand(rect(1555, 1037, 1773, 1075)),
              family("Orve-S", rect(1811, 1056, 1896, 1068), "Orve-S logo selected !"), kNoLogo};
    case 2:
      return {&kCommon, brand(kBrandAt1415),
              family("Orve -k/n52", kK52Family, "Orve -k/n52 logo selected !"),
              code("K52", "K52 logo selected !")};
    case 3:
      return {&kCommon, brand(kBrandAt1415),
              family("Orve -k/n52", kK52Family, "Orve -k/n52 logo selected !"),
              code("K52C", "K52C logo selected !")};
    case 4:
      return {&kCommon, brand(kBrandAt1415),
              family("Orve -k/n52", kK52Family, "Orve -k/n52 logo selected !"),
              code("N52", "N52 logo selected !")};
    case 5:
      return {&kCommon, brand(kBrandAt1415),
              family("Orve-Plus", rect(1663, 1050, 1901, 1064), "Orve-Plus logo selected !"),
              kNoLogo};
    case 6:
      return {&kModel6,
              nightLogo ? OsdLogo{"MIRALO", rect(1640, 1022, 1909, 1077),
                                  "Miralo Night logo selected !", 0xFF80E0FF}
                        : OsdLogo{"MIRALO", rect(1640, 1022, 1909, 1077),
                                  "Miralo Day logo selected !", 0xFFFFFFFF},
              OsdLogo{}, OsdLogo{}};
    case 7:
      return {&kModel7, brand(rect(900, 677, 1118, 715)),
              family("Orve-M", rect(1128, 696, 1269, 711), "Orve-M logo selected !"), kNoLogo};
    case 8:
      return {&kCommon, brand(rect(1400, 1037, 1618, 1075)),
              family("Orve-Dark", rect(1670, 1050, 1891, 1065), "Orve-Dark logo selected !"),
              kNoLogo};
    case 9:
      return {&kCommon, brand(rect(1352, 1037, 1570, 1075)),
              family("Orve-S-Dark", rect(1610, 1050, 1879, 1066), "Orve-S-Dark logo selected !"),
              kNoLogo};
    default:
      return {&kCommon, brand(rect(1581, 1037, 1799, 1075)),
              family("Orve", rect(1811, 1056, 1896, 1068), "Orve logo selected !"), kNoLogo};
  }
}
