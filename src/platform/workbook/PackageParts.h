#pragma once

// The fixed parts of an .xlsx package around its worksheets: content types,
// relationships, document properties, the workbook part and the styles.

#include "platform/workbook/SheetXml.h"

#include <ctime>
#include <string>
#include <vector>

namespace kestrove::workbook::parts {

// Part names of the worksheets, from 1 in tab order.
std::string worksheetPath(std::size_t number); // "xl/worksheets/sheetN.xml"

std::string contentTypes(std::size_t sheets);
std::string rootRelationships();
std::string appProperties();
std::string coreProperties(std::time_t created);
// Sheet names in tab order; `activeTab` counts from 0. `filterRanges` holds, per sheet,
// the absolute range its filter covers ("$A$1:$D$9"), or nothing.
std::string workbook(const std::vector<std::string>& sheetNames, std::size_t activeTab,
                     const std::vector<std::string>& filterRanges);
std::string workbookRelationships(std::size_t sheets);
// The cell styles of CellStyle, in its order, each with its number format, and then one
// per further number format, in the given order.
std::string styles(const std::vector<xml::NumberFormat>& formats);

} // namespace kestrove::workbook::parts
