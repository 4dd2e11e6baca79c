// The long table's parts that Python cannot reach one by one: keys made from names, the
// string dictionaries, and the ownership rules of the Arrow export.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "columns/arrow_export.h"
#include "columns/element_key.h"
#include "columns/long_table.h"
#include "columns/string_dictionary.h"

namespace norvane {
namespace {

TEST(ElementKey, CamelCaseFromTheNameUnlessTheTablesHaveAnAbbreviation) {
    EXPECT_EQ(camel_case_key("WMO block number", 1001), "wmoBlockNumber");
    EXPECT_EQ(camel_case_key("Ice age (\"A\" parameter)", 20020), "iceAgeAParameter");
    EXPECT_EQ(camel_case_key("Temperature/air temperature", 12101), "temperatureAirTemperature");
    EXPECT_EQ(camel_case_key(" -- ", 1001), "element001001");
    EXPECT_EQ(camel_case_key("Höhe über NN", 7030), "hHeBerNn");  // letters beyond ASCII split words
    ElementDefinition element;
    element.code = 12101;
    element.name = "Temperature/air temperature";
    element.abbreviation = "airTemperature";
    EXPECT_EQ(element_key(element), "airTemperature");
    element.abbreviation.clear();
    EXPECT_EQ(element_key(element), "temperatureAirTemperature");
}

TEST(StringDictionary, KeepsFirstSeenOrderAndFindsEveryString) {
    StringDictionary dictionary;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 1000; ++i) {
            std::string text = "s";
            text += std::to_string(i);
            const auto index = dictionary.index_of(text);
            ASSERT_TRUE(index);
            EXPECT_EQ(*index, i);
        }
    }
    EXPECT_EQ(dictionary.size(), 1000u);
    EXPECT_EQ(dictionary.at(7), "s7");
    EXPECT_EQ(dictionary.offsets().back(), static_cast<std::int32_t>(dictionary.characters().size()));
    EXPECT_EQ(*dictionary.index_of(""), 1000);
}

// A batch of `rows` rows whose key column names `keys` in its own dictionary.
RowBatch batch_with_keys(std::initializer_list<const char*> keys) {
    RowBatch batch;
    const std::size_t rows = keys.size();
    for (auto* column : {&batch.message, &batch.subset, &batch.descriptor, &batch.key, &batch.unit, &batch.text,
                         &batch.meaning})
        column->reserve(rows);
    batch.value.reserve(rows);
    batch.raw.reserve(rows);
    batch.flags.reserve(rows);
    for (const char* key : keys) {
        batch.key.push(*batch.strings.keys.index_of(key));
        for (auto* column : {&batch.message, &batch.subset, &batch.descriptor}) column->push(0);
        for (auto* column : {&batch.unit, &batch.text, &batch.meaning}) column->push(kNullString);
        batch.value.push(1.5);
        batch.raw.push(15);
        batch.flags.push(RowBatch::kValuePresent | RowBatch::kRawPresent);
    }
    batch.values = batch.raws = rows;
    return batch;
}

TEST(LongTable, MergesTheBatchDictionariesInBatchOrder) {
    std::vector<RowBatch> batches;
    batches.push_back(batch_with_keys({"b", "a", "b"}));
    batches.push_back(RowBatch{});
    batches.push_back(batch_with_keys({"c", "a"}));
    const auto table = LongTable::merge(std::move(batches));
    ASSERT_TRUE(table);
    ASSERT_EQ(table->batches().size(), 2u);  // the empty batch is dropped
    EXPECT_EQ(table->rows(), 5u);
    const auto& second = table->batches()[1];
    EXPECT_EQ(table->strings().keys.at(static_cast<std::size_t>(second.key[0])), "c");
    EXPECT_EQ(table->strings().keys.at(static_cast<std::size_t>(second.key[1])), "a");
    // Null string rows point at an entry that exists, and the bitmaps say they are null.
    EXPECT_EQ(second.text[0], 0);
    EXPECT_EQ(second.text_valid.nulls, 2u);
    EXPECT_EQ(table->strings().texts.size(), 1u);
    EXPECT_EQ(second.value_valid.nulls, 0u);
}

TEST(ArrowExport, ArraysKeepTheTableAliveUntilReleasedAndChildrenMayBeMovedOut) {
    std::vector<RowBatch> batches;
    batches.push_back(batch_with_keys({"x", "y"}));
    auto table = std::make_shared<const LongTable>(*LongTable::merge(std::move(batches)));
    const std::weak_ptr<const LongTable> watch = table;

    ArrowArrayStream stream{};
    export_long_stream(std::move(table), &stream);
    ArrowSchema schema{};
    ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
    EXPECT_STREQ(schema.format, "+s");
    ASSERT_EQ(schema.n_children, 9);
    EXPECT_STREQ(schema.children[3]->name, "key");
    EXPECT_STREQ(schema.children[3]->dictionary->format, "u");
    schema.release(&schema);

    ArrowArray batch{};
    ASSERT_EQ(stream.get_next(&stream, &batch), 0);
    ASSERT_NE(batch.release, nullptr);
    EXPECT_EQ(batch.length, 2);
    ArrowArray end{};
    ASSERT_EQ(stream.get_next(&stream, &end), 0);
    EXPECT_EQ(end.release, nullptr);
    stream.release(&stream);
    EXPECT_FALSE(watch.expired());  // the batch still refers to the table

    ArrowArray moved = *batch.children[4];  // a consumer takes the value column
    batch.children[4]->release = nullptr;
    batch.release(&batch);
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(static_cast<const double*>(moved.buffers[1])[1], 1.5);
    moved.release(&moved);
    EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace norvane
