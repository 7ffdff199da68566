#pragma once
// The names and docstrings that brenvox_hbond._native shows. Its messages stand beside the
// checks that return them.

namespace brenvox::package_texts {

inline constexpr const char kModuleName[] = "brenvox_hbond._native";
inline constexpr const char kModuleDoc[] = "The native search of brenvox_hbond.";
inline constexpr const char kFindHbondsDoc[] =
    "find_hbonds(xyz, donor_h_pairs, acceptors, box, distance_cutoff, angle_cutoff, n_threads,\n"
    "            form=(False, False, False, False, False, inf, 0.0))\n"
    "--\n\n"
    "Checked arrays in, uint32 rows (frame, donor, hydrogen, acceptor) out. form departs from\n"
    "Baker-Hubbard: (from_donor, angle_at_donor, distance_inclusive, angle_inclusive,\n"
    "merge_hydrogens, donor_hydrogen_cutoff, cone_slope). Called by brenvox_hbond.find_hbonds,\n"
    "which accepts friendlier inputs.";
inline constexpr const char kIndexXdrDoc[] =
    "index_xdr(path)\n"
    "--\n\n"
    "The frames of a GROMACS .xtc or .trr file (.xtc by its suffix, .trr otherwise), from their\n"
    "headers: (offsets, n_atoms, damage). offsets are the byte offsets of the readable frames\n"
    "(int64), n_atoms their atom count (None without frames), damage why the frame after them\n"
    "cannot be read (None when the file ends with its last frame). OSError when the file cannot\n"
    "be opened or read, never for its contents.";
inline constexpr const char kReadXdrDoc[] =
    "read_xdr(path, offsets, frames, n_atoms, n_threads, kept_atoms=0)\n"
    "--\n\n"
    "Decodes frames[k] (a frame number: its offset is offsets[frames[k]]) for each k, on up to\n"
    "n_threads threads: (xyz, box, time, step, failure), float32 coordinates (n, n_atoms, 3)\n"
    "and box vectors (n, 3, 3) in nm (zero for a frame without a box), float32 times in ps,\n"
    "int64 steps. n is the number of frames asked for, or, when one cannot be decoded, the\n"
    "number before it, and failure says why (None when every frame was decoded). A .trr frame\n"
    "without coordinates gives NaN coordinates. offsets and frames are C-contiguous int64\n"
    "arrays; the same whatever the thread count. With kept_atoms > 0 only the first kept_atoms\n"
    "atoms are stored (xyz is (n, kept_atoms, 3)), and an .xtc frame is decoded no further.";

inline constexpr const char kReadGroAtomsDoc[] =
    "read_gro_atoms(text, start, n_atoms, width)\n"
    "--\n\n"
    "Reads the n_atoms atom lines of a .gro file's bytes from offset start, coordinates in\n"
    "fields of width characters from column 21: (residue_ids, residue_codes, residue_fields,\n"
    "name_codes, name_fields, xyz, end). Codes (int64) index the lists of distinct fields\n"
    "(bytes, columns 6-10 and 11-15 as written) in order of first appearance; xyz is float32\n"
    "(n_atoms, 3), each number read as float() reads it and rounded once; end is the offset\n"
    "of the line after the atoms. ValueError names a line that cannot be read.";
inline constexpr const char kFormatRowsDoc[] =
    "format_rows(rows, columns)\n"
    "--\n\n"
    "Each row (uint32 (n, 4)) as a line of CSV, its columns in order: ('number', field) the\n"
    "row's field; ('text', field, blob, starts) the text blob[starts[k]:starts[k + 1]] where k\n"
    "is the row's field; ('real', values) values[i] as repr() writes a float. Returns bytes.";
inline constexpr const char kTallyRowsDoc[] =
    "tally_rows(rows, pair_of_hydrogen, acceptor_position, table, used)\n"
    "--\n\n"
    "Adds each row (frame, donor, hydrogen, acceptor) to the open-addressing table of (key,\n"
    "count) slots (int64 (capacity, 2), capacity a power of two, key -1 for an empty slot,\n"
    "`used` keys held) under the key\n"
    "pair_of_hydrogen[hydrogen] << 32 | acceptor_position[acceptor]. Stops before a new key\n"
    "would fill the table beyond 7/10: returns (rows consumed, keys held).";
inline constexpr const char kTallyKeysDoc[] =
    "tally_keys(new_keys, new_counts, table, used)\n"
    "--\n\n"
    "Adds new_counts[k] to the count of new_keys[k] in the table, as tally_rows does a row:\n"
    "returns (entries consumed, keys held).";
inline constexpr const char kCountFramesDoc[] =
    "count_frames(rows, n_frames)\n"
    "--\n\n"
    "The number of rows of each frame 0..n_frames-1, as int64.";

inline constexpr const char kInternalFailureType[] = "brenvox_hbond._native.InternalFailure";
inline constexpr const char kInternalFailureDoc[] =
    "An internal failure of brenvox_hbond's native search.\n\n"
    "Like SystemExit, this exception is derived from BaseException, so that handlers of "
    "ordinary errors do not swallow it.";
inline constexpr const char kResultOwnerType[] = "brenvox_hbond._native.ResultArrayOwner";

}  // namespace brenvox::package_texts
