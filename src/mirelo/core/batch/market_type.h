// The Market type of mirelo.core.batch.
#pragma once

#include "batch/market.h"

namespace mirelo::batch {

extern PyType_Spec kMarketSpec;

}  // namespace mirelo::batch
