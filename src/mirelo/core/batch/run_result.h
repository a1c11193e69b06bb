// The RunResult type of mirelo.core.batch.
#pragma once

#include "pyutil/error.h"

namespace mirelo::batch {

extern PyType_Spec kRunResultSpec;

}  // namespace mirelo::batch
