#pragma once
// Bond rows as lines of CSV text, a column at a time: an atom index, a text looked up by one of
// the row's numbers (a frame's number and time, an atom's labels), or a real number written as
// Python writes it. Free of Python, so that rows are formatted without the interpreter lock.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace brenvox::table_text {

// Texts, text k being blob[starts[k], starts[k + 1]).
struct TextTable {
  std::string_view blob;
  std::span<const std::int64_t> starts;
};

struct Column {
  enum class Kind { number, text, real };
  Kind kind;
  int field = 0;                    // the row's field (0..3) for number and text
  TextTable table{};                // for text
  std::span<const double> reals{};  // for real: one per row
};

// Appends one line per row (rows of four uint32 fields), columns separated by commas. False
// (with `out` as it was) when a text would be looked up outside its table, or a column of reals
// is shorter than the rows.
bool append_rows(const std::uint32_t* rows, std::uint64_t n_rows, std::span<const Column> columns,
                 std::string& out);

// `value` as Python's repr() writes a float: the shortest digits that read back as it, in
// positional notation for decimal exponents from -4 to 15, else as d.ddde+XX; "nan", "inf".
void append_real(double value, std::string& out);

}  // namespace brenvox::table_text
