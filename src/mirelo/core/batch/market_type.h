// The Market type of mirelo.core.batch.
#pragma once

#include "batch/market.h"

namespace mirelo::batch {

// The spec of Market, its method docs completed (they are made from the rule
// table).  Throws ErrorSet.
PyType_Spec& market_spec();

}  // namespace mirelo::batch
