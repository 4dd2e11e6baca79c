#include "columns/long_table.h"

#include <algorithm>

namespace norvane {
namespace {

// Points the batch's indices at `merged` instead of `own`, and null ones (`present` counts
// the others) at entry 0, so that every index names an entry.
Status remap(PodColumn<std::int32_t>& indices, const StringDictionary& own, StringDictionary& merged,
             std::size_t present) {
    std::vector<std::int32_t> to(own.size());
    bool same = true;  // the first batch, and any whose strings came in the same order
    for (std::size_t i = 0; i < own.size(); ++i) {
        NV_ASSIGN(to[i], merged.index_of(own.at(i)));
        same = same && to[i] == static_cast<std::int32_t>(i);
    }
    if (present == indices.size() && same) return {};
    if (present == 0) {
        std::fill(indices.begin(), indices.end(), 0);
        return {};
    }
    for (std::int32_t& index : indices) index = index == kNullString ? 0 : to[static_cast<std::size_t>(index)];
    return {};
}

}  // namespace

Result<LongTable> LongTable::merge(std::vector<RowBatch> batches) {
    LongTable table;
    for (RowBatch& batch : batches) {
        seal(batch);  // usually done already, by the thread that made the batch
        NV_TRY(remap(batch.key, batch.strings.keys, table.strings_.keys, batch.rows()));
        NV_TRY(remap(batch.unit, batch.strings.units, table.strings_.units, batch.units));
        NV_TRY(remap(batch.text, batch.strings.texts, table.strings_.texts, batch.texts));
        NV_TRY(remap(batch.meaning, batch.strings.meanings, table.strings_.meanings, batch.meanings));
        batch.strings = StringColumns();
        table.rows_ += batch.rows();
    }
    // Null rows hold index 0, which must name an entry even when a column has no string.
    for (StringDictionary* dictionary : {&table.strings_.keys, &table.strings_.units, &table.strings_.texts,
                                         &table.strings_.meanings}) {
        if (dictionary->size() == 0) NV_TRY(dictionary->index_of({}));
    }
    std::erase_if(batches, [](const RowBatch& batch) { return batch.rows() == 0; });
    table.batches_ = std::move(batches);
    return table;
}

}  // namespace norvane
