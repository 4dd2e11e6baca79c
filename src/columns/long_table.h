// The long table of a whole source: its row batches in source order, sharing one
// dictionary per string column.
#pragma once

#include <vector>

#include "columns/row_batch.h"

namespace norvane {

class LongTable {
public:
    // Merges the batches' own dictionaries into one per column, in batch order, so the same
    // batches give the same table however they were made.
    static Result<LongTable> merge(std::vector<RowBatch> batches);

    const std::vector<RowBatch>& batches() const { return batches_; }
    const StringColumns& strings() const { return strings_; }
    std::size_t rows() const { return rows_; }

private:
    std::vector<RowBatch> batches_;
    StringColumns strings_;
    std::size_t rows_ = 0;
};

}  // namespace norvane
