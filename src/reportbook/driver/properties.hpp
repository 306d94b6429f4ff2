// What finishExcel shares with initiateExcelWriter (driver/properties.cpp):
// the checks of the property mappings and of the workbook, and the model's
// entries.
#pragma once

#include "reportbook/reportbook.hpp"

namespace rb {

// What the refusals of the mappings say they expect.
extern const char *const kPropertiesExpected;
extern const char *const kModelExpected;

// The entries that describe the model: one architecture, or the lists of a
// recap workbook, whose single-model entries are dropped.
void add_model_entries(handle d, handle modeldic, bool recap);
// The mapping, the model description and every entry as initiateExcelWriter
// stores them, checked before anything is written.
void check_properties(handle d, handle modeldic, bool recap);
// The workbook takes a new "Utilities" sheet: it is open and has none yet
// (a second call on one writer would find the first one's).
void check_workbook(handle book, bool with_sheet);

}  // namespace rb
