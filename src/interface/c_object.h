// The object behind a handle of the C interface, for code of the project that must reach it (the
// C interface itself and the tests' hooks).
#pragma once

#include <memory>

#include "interface/dispatch.h"

struct vtl_object {
  std::shared_ptr<vtl::DispatchObject> dispatch;
};
