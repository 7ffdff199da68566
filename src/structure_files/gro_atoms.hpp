#pragma once
// The atom lines of a .gro file, read in one pass: residue numbers, residue and atom names (as
// codes into the distinct fields met, in order of first appearance) and coordinates. Free of
// Python: the package's extension turns the result into arrays.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/result.hpp"

namespace brenvox::gro {

struct GroAtoms {
  std::vector<std::int64_t> residue_ids;
  std::vector<std::int32_t> residue_codes;
  std::vector<std::string_view> residue_fields;  // columns 6-10 as written, one per code
  std::vector<std::int32_t> name_codes;
  std::vector<std::string_view> name_fields;  // columns 11-15 as written
  std::vector<float> xyz;                     // n_atoms * 3, rounded from double
  std::size_t end = 0;                        // offset of the line after the atoms
};

// Why the atom lines cannot be read, naming the line (from 0, among the atom lines).
struct GroProblem {
  std::string message;
};

// The `n_atoms` lines from offset `start` of `text`, coordinates in fields of `width`
// characters from column 21. A line shorter than a field reads as blanks there, as a fixed
// column format pads it; the fields hold the numbers Python's float() and int() read.
Result<GroAtoms, GroProblem> read_gro_atoms(std::string_view text, std::size_t start,
                                            std::int64_t n_atoms, std::int64_t width);

}  // namespace brenvox::gro
