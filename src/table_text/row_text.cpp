#include "table_text/row_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace brenvox::table_text {

namespace {

void append_number(std::uint64_t value, std::string& out) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

bool text_fits(const TextTable& table, std::uint32_t k) {
  if (std::uint64_t(k) + 1 >= table.starts.size()) return false;
  const std::int64_t begin = table.starts[k], end = table.starts[k + 1];
  return 0 <= begin && begin <= end && std::uint64_t(end) <= table.blob.size();
}

}  // namespace

void append_real(double value, std::string& out) {
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // The shortest round-trip digits, from their scientific form d.ddde±XX.
  char text[32];
  const auto end =
      std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  const std::string_view written(text, std::size_t(end - text));
  const std::size_t e = written.find('e');
  int exponent = 0;
  std::string_view exponent_text = written.substr(e + 1);
  if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  std::string_view mantissa = written.substr(0, e);
  const bool negative = mantissa.front() == '-';
  if (negative) mantissa.remove_prefix(1);
  std::string digits(1, mantissa.front());
  if (mantissa.size() > 2) digits.append(mantissa.substr(2));  // after "d."
  if (negative) out += '-';
  if (exponent < -4 || exponent >= 16) {
    out += digits.front();
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    append_number(std::uint64_t(magnitude), out);
  } else if (exponent < 0) {
    out += "0.";
    out.append(std::size_t(-exponent - 1), '0');
    out += digits;
  } else if (std::size_t(exponent) + 1 >= digits.size()) {
    out += digits;
    out.append(std::size_t(exponent) + 1 - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, std::size_t(exponent) + 1);
    out += '.';
    out.append(digits, std::size_t(exponent) + 1);
  }
}

bool append_rows(const std::uint32_t* rows, std::uint64_t n_rows, std::span<const Column> columns,
                 std::string& out) {
  for (const Column& column : columns) {
    if (column.kind == Column::Kind::real && column.reals.size() < n_rows) return false;
  }
  const std::size_t before = out.size();
  for (std::uint64_t i = 0; i < n_rows; ++i) {
    const std::uint32_t* row = rows + 4 * i;
    bool first = true;
    for (const Column& column : columns) {
      if (!first) out += ',';
      first = false;
      switch (column.kind) {
        case Column::Kind::number: append_number(row[column.field], out); break;
        case Column::Kind::text: {
          const std::uint32_t k = row[column.field];
          if (!text_fits(column.table, k)) {
            out.resize(before);
            return false;
          }
          const auto begin = std::size_t(column.table.starts[k]);
          out.append(
              column.table.blob.substr(begin, std::size_t(column.table.starts[k + 1]) - begin));
          break;
        }
        case Column::Kind::real: append_real(column.reals[i], out); break;
      }
    }
    out += '\n';
  }
  return true;
}

}  // namespace brenvox::table_text
