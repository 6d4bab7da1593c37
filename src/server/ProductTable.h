#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kvinternal {

// The storage space a phone needs for an image update, in MiB.
struct ProductSpace {
    uint64_t baseSpace = 500;  // below fromVersion
    uint64_t space = 500;      // from fromVersion on
    std::string fromVersion;   // dotted software version; empty: space applies to every version
};

// Hardware product number ("HW type") to its space needs.
using ProductTable = std::map<std::string, ProductSpace>;

// One line of the product list as it is kept; some product numbers appear more than once.
struct ProductTableRow {
    const char* productNumber;
    uint64_t baseSpace;
    uint64_t space;
    const char* fromVersion;
};

const std::vector<ProductTableRow>& productTableRows();

// The rows as a table; of rows with the same product number the first counts.
ProductTable buildProductTable();

// The entry of a product number; {500, 500, ""} for one the table does not list.
ProductSpace productSpace(const ProductTable& table, const std::string& productNumber);

}  // namespace kvinternal
