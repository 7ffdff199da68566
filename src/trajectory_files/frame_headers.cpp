#include "trajectory_files/frame_headers.hpp"

#include <algorithm>

namespace brenvox::xdr {

namespace {

// The big-endian int at byte `at` of the header, or nothing where the header is shorter.
std::optional<std::int32_t> int_at(Bytes head, std::size_t at) {
  if (head.size() < at || head.size() - at < 4) return std::nullopt;
  return static_cast<std::int32_t>(load_big_endian_32(head.data() + at));
}

std::optional<FrameExtent> xtc_extent(Bytes head) {
  const auto magic = int_at(head, 0);
  const auto n_atoms = int_at(head, 4);
  if (!magic || !n_atoms || (*magic != kXtcMagic && *magic != kXtcLargeMagic) || *n_atoms <= 0) {
    return std::nullopt;
  }
  const auto repeated = int_at(head, 52);
  if (!repeated || *repeated != *n_atoms) return std::nullopt;
  if (*n_atoms <= kXtcUncompressedAtoms) {
    return FrameExtent{56 + 12 * std::uint64_t(*n_atoms), *n_atoms};
  }
  std::int64_t n_bytes;
  std::uint64_t head_size;
  if (*magic == kXtcLargeMagic) {
    if (head.size() < 96) return std::nullopt;
    n_bytes = static_cast<std::int64_t>(load_big_endian_64(head.data() + 88));
    head_size = 96;
  } else {
    const auto counted = int_at(head, 88);
    if (!counted) return std::nullopt;
    n_bytes = *counted;
    head_size = 92;
  }
  if (n_bytes < 0) return std::nullopt;
  // At most 2^63 - 1 padded, plus the header: no wrap.
  return FrameExtent{head_size + *padded_size(std::uint64_t(n_bytes)), *n_atoms};
}

// The .trr header's fields up to the energies' count, and the precision they imply.
struct TrrFields {
  std::uint64_t sizes_at;  // byte of the first block size
  std::int32_t sizes[10];
  std::int32_t n_atoms;
  std::int32_t step;
  int precision;
};

std::optional<TrrFields> trr_fields(XdrStream& stream) {
  const auto magic = stream.read_int32();
  const auto string_size = stream.read_int32();  // the version string's size, unchecked
  const auto string_length = stream.read_int32();
  if (!magic || !string_size || !string_length || *magic != kTrrMagic || *string_length < 0 ||
      *string_length > kTrrLongestVersion) {
    return std::nullopt;
  }
  if (!stream.skip(*padded_size(std::uint64_t(*string_length)))) return std::nullopt;
  TrrFields fields{};
  fields.sizes_at = stream.position();
  for (std::int32_t& size : fields.sizes) {
    const auto value = stream.read_int32();
    if (!value) return std::nullopt;
    size = *value;
  }
  const auto n_atoms = stream.read_int32();
  const auto step = stream.read_int32();
  const auto n_energies = stream.read_int32();
  if (!n_atoms || !step || !n_energies) return std::nullopt;
  fields.n_atoms = *n_atoms;
  fields.step = *step;
  if (fields.n_atoms <= 0 || *std::min_element(fields.sizes, fields.sizes + 10) < 0) {
    return std::nullopt;
  }
  // The box's size, or else that of the first vector block present, says the precision.
  const std::int32_t box = fields.sizes[2];
  std::int64_t precision;
  if (box != 0) {
    precision = box / 9;
  } else {
    std::int32_t vectors = 0;
    for (int block : {7, 8, 9}) {
      if (fields.sizes[block] != 0) {
        vectors = fields.sizes[block];
        break;
      }
    }
    precision = vectors / (3 * std::int64_t{fields.n_atoms});
  }
  if (precision != 4 && precision != 8) return std::nullopt;
  fields.precision = static_cast<int>(precision);
  return fields;
}

std::uint64_t sum_of_sizes(const std::int32_t (&sizes)[10]) {
  std::uint64_t sum = 0;
  for (std::int32_t size : sizes) sum += std::uint64_t(size);
  return sum;
}

std::optional<FrameExtent> trr_extent(Bytes head) {
  XdrStream stream(head);
  const auto fields = trr_fields(stream);
  if (!fields) return std::nullopt;
  const std::uint64_t header = stream.position() + 2 * std::uint64_t(fields->precision);
  return FrameExtent{header + sum_of_sizes(fields->sizes), fields->n_atoms};
}

}  // namespace

XdrFormat format_of_path(std::string_view path) {
  // The last component that is not "." (pathlib drops those and empty ones).
  std::string_view name;
  while (!path.empty()) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    if (!last.empty() && last != ".") {
      name = last;
      break;
    }
  }
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 >= name.size()) return XdrFormat::trr;
  const std::string_view suffix = name.substr(dot);
  constexpr std::string_view kXtc = ".xtc";
  const bool xtc = suffix.size() == kXtc.size() &&
                   std::equal(suffix.begin(), suffix.end(), kXtc.begin(), [](char a, char b) {
                     return (a >= 'A' && a <= 'Z' ? char(a - 'A' + 'a') : a) == b;
                   });
  return xtc ? XdrFormat::xtc : XdrFormat::trr;
}

std::optional<FrameExtent> frame_extent(XdrFormat format, Bytes head) {
  return format == XdrFormat::xtc ? xtc_extent(head) : trr_extent(head);
}

std::optional<TrrHeader> read_trr_header(XdrStream& stream) {
  const auto fields = trr_fields(stream);
  if (!fields) return std::nullopt;
  const auto time = stream.read_real(fields->precision);
  const auto lambda = stream.read_real(fields->precision);
  if (!time || !lambda) return std::nullopt;
  TrrHeader header{};
  header.precision = fields->precision;
  std::copy(fields->sizes, fields->sizes + 10, header.block_sizes);
  header.n_atoms = fields->n_atoms;
  header.step = fields->step;
  header.time = *time;
  header.header_size = stream.position();
  header.frame_size = header.header_size + sum_of_sizes(fields->sizes);
  return header;
}

}  // namespace brenvox::xdr
