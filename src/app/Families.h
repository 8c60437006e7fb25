#pragma once
// The composition root of the engine: the family table every comm form is given. The
// one place that knows every family; adding a family is one row here.
#include "runtime/FamilyTable.h"

namespace quorvan {

FamilyTable MakeFamilyTable();

}  // namespace quorvan
