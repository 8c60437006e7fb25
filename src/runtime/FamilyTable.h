#pragma once
// The families a comm form serves, one row per family with the device values that
// select it. A device value no row names selects the "not served" row, which traces that
// and touches nothing on the line.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

#include "runtime/Family.h"

namespace quorvan {

class FamilyTable {
 public:
  FamilyTable();
  FamilyTable(FamilyTable&&) noexcept;
  FamilyTable& operator=(FamilyTable&&) noexcept;
  ~FamilyTable();

  // Adds the row of a family and the device values that select it.
  void add(std::initializer_list<std::int32_t> devices, std::unique_ptr<Family> family);

  // The family that serves the device value (the "not served" row when none does).
  Family& forDevice(std::int32_t device) const;
  // Every row's family, the "not served" row last.
  std::vector<Family*> all() const;

 private:
  struct Row {
    std::vector<std::int32_t> devices;
    std::unique_ptr<Family> family;
  };
  std::vector<Row> rows_;
  std::unique_ptr<Family> notServed_;
};

// Builds a comm form's families; each form gets its own (their state is per form).
using FamilyTableFactory = std::function<FamilyTable()>;

}  // namespace quorvan
