#pragma once
// Gives a camera a new device of type D and returns it: the camera owns it.
#include <memory>
#include <utility>

#include "capture/capture_control.h"

namespace snapvane::test {

template <class D, class... Args>
D& InstallDevice(Camera& camera, Args&&... args) {
  auto device = std::make_unique<D>(std::forward<Args>(args)...);
  D& installed = *device;
  camera = Camera(std::move(device));
  return installed;
}

}  // namespace snapvane::test
