#include "app/Families.h"

#include "client/Enums.h"
#include "ficht/FichtFamily.h"
#include "kwp2000/Kwp2000Family.h"
#include "mbe/MbeFamily.h"
#include "mse10/Mse10Family.h"
#include "visteon/VisteonFamily.h"

namespace quorvan {

FamilyTable MakeFamilyTable() {
  FamilyTable table;
  // The Weber and Kokusan controllers are woken at 5 baud and talk the MSE 1.0 blocks.
  table.add({ecuMSE10, ecuWeber7A, ecuWeber11, ecuKokusan, ecuWeberM7},
            std::make_unique<Mse10Family>());
  table.add({ecuMSE11}, std::make_unique<Kwp2000Family>());
  table.add({ecuVisteon}, std::make_unique<VisteonFamily>());
  table.add({ecuFicht}, std::make_unique<FichtFamily>());
  table.add({ecuMBE}, std::make_unique<MbeFamily>());
  return table;
}

}  // namespace quorvan
