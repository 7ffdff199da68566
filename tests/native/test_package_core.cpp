// The package's Python-free helpers: the triplet table, the CSV row text and the .gro atom lines.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "occupancy/triplet_table.hpp"
#include "structure_files/gro_atoms.hpp"
#include "table_text/row_text.hpp"

namespace brenvox {
namespace {

struct Table {
  explicit Table(std::size_t capacity) : slots(2 * capacity, 0) {
    for (std::size_t i = 0; i < capacity; ++i) slots[2 * i] = occupancy::kEmptySlot;
    view = {slots.data(), capacity, 0};
  }
  std::vector<std::int64_t> slots;
  occupancy::TripletTable view;
};

TEST(TripletTable, StopsBeforeSevenTenthsFullAndCountsRepeats) {
  Table table(16);  // room for 11 keys
  std::vector<std::int64_t> keys, counts;
  for (std::int64_t k = 0; k < 20; ++k) {
    keys.push_back(k % 12);
    counts.push_back(1);
  }
  const auto progress = occupancy::tally_keys(keys.data(), counts.data(), keys.size(), table.view);
  EXPECT_EQ(progress.consumed, 11u);
  EXPECT_FALSE(progress.bad_row);
  EXPECT_EQ(table.view.used, 11u);
}

TEST(TripletTable, AnUnderstatedUseEndsInsteadOfProbingForever) {
  Table table(4);
  for (std::int64_t k = 0; k < 4; ++k) table.slots[2 * k] = 100 + k;  // full, but said empty
  const std::int64_t key = 7, count = 1;
  EXPECT_EQ(occupancy::tally_keys(&key, &count, 1, table.view).consumed, 0u);
}

TEST(TripletTable, RowsOutsideTheSitesAreBad) {
  Table table(8);
  const std::vector<std::int64_t> pair_of_hydrogen = {-1, 0}, acceptor_position = {-1, -1, 0};
  const occupancy::SiteLookup sites{pair_of_hydrogen, acceptor_position};
  const std::uint32_t rows[] = {0, 0, 1, 2, 0, 0, 1, 9};
  const auto progress = occupancy::tally_rows(rows, 2, sites, table.view);
  EXPECT_EQ(progress.consumed, 1u);
  EXPECT_TRUE(progress.bad_row);
}

TEST(RowText, ColumnsAndRealsAsPythonWritesThem) {
  const std::vector<std::int64_t> starts = {0, 3, 5};
  const double reals[] = {0.25, 1e16};
  const table_text::Column columns[] = {
      {table_text::Column::Kind::text, 0, {"abcde", starts}},
      {table_text::Column::Kind::number, 3},
      {table_text::Column::Kind::real, 0, {}, reals},
  };
  const std::uint32_t rows[] = {1, 0, 0, 7, 0, 0, 0, 4294967295u};
  std::string out;
  ASSERT_TRUE(table_text::append_rows(rows, 2, columns, out));
  EXPECT_EQ(out, "de,7,0.25\nabc,4294967295,1e+16\n");
  const std::uint32_t outside[] = {2, 0, 0, 0};
  EXPECT_FALSE(table_text::append_rows(outside, 1, columns, out));
  EXPECT_EQ(out, "de,7,0.25\nabc,4294967295,1e+16\n");
}

TEST(GroAtoms, FieldsCodesAndProblems) {
  const std::string text =
      "t\n2\n    1SOL     OW    1   0.126   1.624  -1.679\n    1SOL    HW1    2   0.190\n";
  auto read = gro::read_gro_atoms(text, 4, 1, 8);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().residue_ids, std::vector<std::int64_t>{1});
  EXPECT_EQ(read.value().name_fields.at(0), "   OW");
  EXPECT_EQ(read.value().xyz, (std::vector<float>{0.126f, 1.624f, -1.679f}));
  auto short_line = gro::read_gro_atoms(text, 4, 2, 8);
  ASSERT_FALSE(short_line.ok());
  EXPECT_EQ(short_line.error().message, "malformed coordinate in atom line 2");
  auto missing = gro::read_gro_atoms(text, 4, 3, 8);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "malformed coordinate in atom line 2");
}

}  // namespace
}  // namespace brenvox
