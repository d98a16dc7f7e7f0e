// Changes a run tells later, held in a compact form: pass 2's second thread
// keeps those of its windows until the first thread's are told, and the
// object streams' wait until the input is known not to have changed. The
// report hears of them only when they are told.
#pragma once

#include <cstddef>
#include <string>

#include "engine/report.h"

namespace iccdrop::engine {

class HeldChanges {
 public:
  void reserve(std::size_t bytes) { bytes_.reserve(bytes); }
  // Keeps `change` in 11 bytes and its name's (at most 65,535 of them: names
  // come from windows of 8 KiB). Its replacement must be one of
  // colorspace::kDeviceSpaceByComponents.
  void hold(const ChangeEvent& change);
  // The bytes held.
  std::size_t size() const { return bytes_.size(); }
  // Tells `report` of each change held, in the order held, and forgets them.
  void tell(Report& report);
  void clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

}  // namespace iccdrop::engine
