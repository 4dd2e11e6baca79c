// The long table through the Arrow C interfaces, without copying a column: every exported
// array keeps the table alive until the consumer releases it.
//
// Schema: a struct of message int32, subset int32, descriptor int32, key dictionary<int32,
// utf8>, value float64, raw uint64, text, meaning and unit dictionary<int32, utf8>. One
// record batch per row batch; every batch refers to the table's one dictionary per column.
#pragma once

#include <memory>

#include "columns/arrow_abi.h"
#include "columns/long_table.h"

namespace norvane {

// The schema of the long table. Allocation failure throws std::bad_alloc before `out` is set.
void export_long_schema(ArrowSchema* out);

// Row batch `batch` of `table` as a struct array.
void export_row_batch(const std::shared_ptr<const LongTable>& table, std::size_t batch, ArrowArray* out);

// A stream of the table's row batches, in order.
void export_long_stream(std::shared_ptr<const LongTable> table, ArrowArrayStream* out);

}  // namespace norvane
