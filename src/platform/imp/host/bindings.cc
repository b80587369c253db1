// Bindings between the modules of the simulated library. The encoder follows them back from
// its group to the frame-source channel whose frames it codes.
#include <errno.h>

#include <array>
#include <mutex>
#include <vector>

#include "platform/imp/host/encoder_host.h"
#include "platform/imp/host/host_media.h"
#include "platform/imp/host/osd_host.h"
#include "platform/imp/imp_bind.h"
#include "platform/imp/imp_osd_group.h"

namespace imp_host {

namespace {

struct Binding {
  IMPCell source;
  IMPCell sink;
};

struct Bindings {
  std::mutex mutex;
  std::vector<Binding> list;
  std::array<bool, 4> osdGroups{};  // display groups made (their regions: osd.cc)
};

Bindings& bindings() {
  static Bindings* instance = new Bindings();  // lives for the process
  return *instance;
}

bool same(const IMPCell& a, const IMPCell& b) {
  return a.deviceID == b.deviceID && a.groupID == b.groupID && a.outputID == b.outputID;
}

bool same_group(const IMPCell& a, const IMPCell& b) {
  return a.deviceID == b.deviceID && a.groupID == b.groupID;
}

bool valid_cell(const IMPCell& cell) {
  constexpr int kMaxGroups = 4;
  const bool device =
      cell.deviceID == DEV_ID_FS || cell.deviceID == DEV_ID_ENC || cell.deviceID == DEV_ID_OSD;
  return device && cell.groupID >= 0 && cell.groupID < kMaxGroups && cell.outputID >= 0 &&
         cell.outputID < kMaxGroups;
}

}  // namespace

bool bound_source(const IMPCell& sink, IMPCell* source) {
  Bindings& b = bindings();
  std::lock_guard lock(b.mutex);
  for (const Binding& binding : b.list) {
    if (same_group(binding.sink, sink)) {
      *source = binding.source;
      return true;
    }
  }
  return false;
}

void reset_bindings() {
  Bindings& b = bindings();
  std::lock_guard lock(b.mutex);
  b.list.clear();
  b.osdGroups = {};
  reset_display();
}

bool display_group_exists(int group) {
  Bindings& b = bindings();
  std::lock_guard lock(b.mutex);
  return group >= 0 && group < static_cast<int>(b.osdGroups.size()) &&
         b.osdGroups[static_cast<size_t>(group)];
}

}  // namespace imp_host

int IMP_System_Bind(IMPCell* srcCell, IMPCell* dstCell) {
  {
    imp_host::HostMedia& m = imp_host::media();
    std::lock_guard lock(m.mutex);
    if (injected_failure(m, "IMP_System_Bind")) {
      errno = EIO;
      return -1;
    }
  }
  if (srcCell == nullptr || dstCell == nullptr || !imp_host::valid_cell(*srcCell) ||
      !imp_host::valid_cell(*dstCell) || srcCell->deviceID == DEV_ID_ENC ||
      dstCell->deviceID == DEV_ID_FS) {
    errno = EINVAL;
    return -1;
  }
  imp_host::Bindings& b = imp_host::bindings();
  std::lock_guard lock(b.mutex);
  for (const IMPCell* cell : {srcCell, dstCell}) {
    if (cell->deviceID == DEV_ID_OSD && !b.osdGroups[static_cast<size_t>(cell->groupID)]) {
      errno = EINVAL;
      return -1;
    }
  }
  for (const imp_host::Binding& binding : b.list) {
    if (imp_host::same_group(binding.sink, *dstCell) || imp_host::same(binding.source, *srcCell)) {
      errno = EBUSY;
      return -1;
    }
  }
  b.list.push_back({*srcCell, *dstCell});
  return 0;
}

int IMP_System_UnBind(IMPCell* srcCell, IMPCell* dstCell) {
  {
    imp_host::HostMedia& m = imp_host::media();
    std::lock_guard lock(m.mutex);
    if (injected_failure(m, "IMP_System_UnBind")) {
      errno = EIO;
      return -1;
    }
  }
  if (srcCell == nullptr || dstCell == nullptr) {
    errno = EINVAL;
    return -1;
  }
  imp_host::Bindings& b = imp_host::bindings();
  std::lock_guard lock(b.mutex);
  for (auto it = b.list.begin(); it != b.list.end(); ++it) {
    if (imp_host::same(it->source, *srcCell) && imp_host::same(it->sink, *dstCell)) {
      b.list.erase(it);
      return 0;
    }
  }
  errno = EINVAL;
  return -1;
}

int IMP_OSD_CreateGroup(int grpNum) {
  {
    imp_host::HostMedia& m = imp_host::media();
    std::lock_guard lock(m.mutex);
    if (injected_failure(m, "IMP_OSD_CreateGroup")) {
      errno = EIO;
      return -1;
    }
  }
  imp_host::Bindings& b = imp_host::bindings();
  std::lock_guard lock(b.mutex);
  if (grpNum < 0 || grpNum >= static_cast<int>(b.osdGroups.size())) {
    errno = EINVAL;
    return -1;
  }
  b.osdGroups[static_cast<size_t>(grpNum)] = true;
  return 0;
}

int IMP_OSD_DestroyGroup(int grpNum) {
  imp_host::Bindings& b = imp_host::bindings();
  std::lock_guard lock(b.mutex);
  if (grpNum < 0 || grpNum >= static_cast<int>(b.osdGroups.size()) ||
      !b.osdGroups[static_cast<size_t>(grpNum)]) {
    errno = EINVAL;
    return -1;
  }
  for (const imp_host::Binding& binding : b.list) {
    if ((binding.source.deviceID == DEV_ID_OSD && binding.source.groupID == grpNum) ||
        (binding.sink.deviceID == DEV_ID_OSD && binding.sink.groupID == grpNum)) {
      errno = EBUSY;
      return -1;
    }
  }
  b.osdGroups[static_cast<size_t>(grpNum)] = false;
  imp_host::forget_display_group(grpNum);
  return 0;
}
