#include "structure_files/gro_atoms.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <unordered_map>

namespace brenvox::gro {

namespace {

constexpr std::size_t kNameColumns = 5;

// Columns [begin, begin + count) of a line, blanks past its end cut off.
std::string_view columns(std::string_view line, std::size_t begin, std::size_t count) {
  if (begin >= line.size()) return {};
  return line.substr(begin, count);
}

std::string_view trimmed(std::string_view field) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!field.empty() && blank(field.front())) field.remove_prefix(1);
  while (!field.empty() && blank(field.back())) field.remove_suffix(1);
  return field;
}

// A number as float() or int() reads it: an optional sign, surrounding blanks allowed.
template <typename T>
std::optional<T> number(std::string_view field) {
  field = trimmed(field);
  bool negative = false;
  if (!field.empty() && (field.front() == '+' || field.front() == '-')) {
    negative = field.front() == '-';
    field.remove_prefix(1);
    if (!field.empty() && (field.front() == '+' || field.front() == '-')) return std::nullopt;
  }
  if (field.empty()) return std::nullopt;
  T value{};
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (error != std::errc() || end != field.data() + field.size()) return std::nullopt;
  return negative ? -value : value;
}

// Codes for the distinct fields of a column, in order of first appearance. A name field is at
// most five characters: packed into an integer it is its own hash key.
class FieldCodes {
 public:
  std::int32_t code(std::string_view field, std::vector<std::string_view>& fields) {
    std::uint64_t key = field.size();
    std::memcpy(reinterpret_cast<char*>(&key) + 1, field.data(), field.size());
    const auto [at, added] = codes_.try_emplace(key, static_cast<std::int32_t>(fields.size()));
    if (added) fields.push_back(field);
    return at->second;
  }

 private:
  std::unordered_map<std::uint64_t, std::int32_t> codes_;
};

GroProblem malformed(std::int64_t line, std::string_view what) {
  return GroProblem{"malformed " + std::string(what) + " in atom line " + std::to_string(line + 1)};
}

}  // namespace

Result<GroAtoms, GroProblem> read_gro_atoms(std::string_view text, std::size_t start,
                                            std::int64_t n_atoms, std::int64_t width) {
  using Read = Result<GroAtoms, GroProblem>;
  if (n_atoms < 0 || width < 1 || width > 64) return Read(GroProblem{"malformed atom lines"});
  GroAtoms atoms;
  // Room for the lines the text can hold, not for what a corrupt count claims: such a count
  // ends in "expected ... atom lines" when the text runs out.
  const std::size_t left = start < text.size() ? text.size() - start : 0;
  const auto n = std::min(static_cast<std::size_t>(n_atoms), left / 21 + 1);
  atoms.residue_ids.reserve(n);
  atoms.residue_codes.reserve(n);
  atoms.name_codes.reserve(n);
  atoms.xyz.reserve(3 * n);
  FieldCodes residue_codes, name_codes;
  std::size_t at = start;
  for (std::int64_t k = 0; k < n_atoms; ++k) {
    if (at >= text.size()) {
      return Read(GroProblem{"expected " + std::to_string(n_atoms) + " atom lines and a box line"});
    }
    std::size_t stop = text.find('\n', at);
    if (stop == std::string_view::npos) stop = text.size();
    const std::string_view line = text.substr(at, stop - at);
    at = stop + 1;

    const std::optional<std::int64_t> residue = number<std::int64_t>(columns(line, 0, 5));
    if (!residue) return Read(malformed(k, "residue number"));
    atoms.residue_ids.push_back(*residue);
    atoms.residue_codes.push_back(
        residue_codes.code(columns(line, 5, kNameColumns), atoms.residue_fields));
    atoms.name_codes.push_back(name_codes.code(columns(line, 10, kNameColumns), atoms.name_fields));
    for (std::int64_t axis = 0; axis < 3; ++axis) {
      const auto begin = static_cast<std::size_t>(20 + axis * width);
      const std::optional<double> value =
          number<double>(columns(line, begin, static_cast<std::size_t>(width)));
      if (!value) return Read(malformed(k, "coordinate"));
      atoms.xyz.push_back(static_cast<float>(*value));
    }
  }
  atoms.end = std::min(at, text.size());
  return atoms;
}

}  // namespace brenvox::gro
