// The schema history of the delivery store, one frozen step per version. Step 1 is the
// first shipped schema; each later step upgrades a file in place. Never edit a step that has
// shipped: add the next one and raise QBYModelVersion.
#pragma once

#include <vector>

#include "store/core/QBYEntityDescription.h"

namespace qby {

const std::vector<QBYSchemaMigration>& QBYPorvaneSchemaMigrations();

}  // namespace qby
