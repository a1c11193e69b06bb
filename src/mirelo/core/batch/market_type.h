// The Market type of mirelo.core.batch.
#pragma once

#include "batch/market.h"

namespace mirelo::batch {

// The type description of Market, its method docs completed (they are made from the rule
// table).  Throws ErrorSet.
PyType_Spec& market_type_description();

}  // namespace mirelo::batch
