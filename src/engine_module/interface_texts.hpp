#pragma once
// The fixed texts of brenvox_hbond_rs that callers see: messages, type names and docstrings.
// Callers match on these exactly, so they change only together with the module's interface.
// Texts that the boundary shows for both modules are in boundary/boundary_texts.hpp; the
// kernel's messages stand beside the checks that return them.

namespace brenvox::texts {

#define BRENVOX_EN_DASH "\xE2\x80\x93"

inline constexpr const char kModuleName[] = "brenvox_hbond_rs";
inline constexpr const char kAdaptiveDoc[] =
    "run_baker_hubbard(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices)\n--\n\n"
    "Run Baker-Hubbard over all frames. Uses spatial pruning for large search spaces\n"
    "and brute force for smaller ones (same geometry either way).";
inline constexpr const char kBruteDoc[] =
    "run_baker_hubbard_brute(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices)\n--\n\n"
    "Brute-force Baker" BRENVOX_EN_DASH "Hubbard (reference implementation for regression tests).";
// The text says "per frame batch" and stays as callers know it; the choice between the spatial
// and the brute search is made once per call, from pairs × acceptors, as in run_baker_hubbard.
inline constexpr const char kThreadedDoc[] =
    "run_baker_hubbard_with_threads(xyz_flat, n_frames, n_atoms, donor_h_pairs, acceptor_indices, "
    "n_threads)\n--\n\n"
    "Threaded Baker" BRENVOX_EN_DASH "Hubbard (adaptive spatial vs brute per frame batch).";

#undef BRENVOX_EN_DASH

inline constexpr const char kSubinterpreters[] =
    "PyO3 modules do not yet support subinterpreters, see the brenvox_hbond_rs README: the module "
    "can be imported in one interpreter per process";

inline constexpr const char kInternalFailureType[] = "pyo3_runtime.PanicException";
inline constexpr const char kInternalFailureDoc[] =
    "An internal failure of a native call.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";
inline constexpr const char kAllAppendFailed[] = "could not append __name__ to __all__";

// Conversion: "argument '{name}': '{type}' object cannot be converted to '{target}'".
inline constexpr const char kArrayTarget[] = "PyArray<T, D>";
inline constexpr const char kSequenceTarget[] = "Sequence";
inline constexpr const char kTupleTarget[] = "PyTuple";
inline constexpr const char kStrToVec[] = "Can't extract `str` to `Vec`";
inline constexpr const char kPairLength[] = "expected tuple of length 2, but got tuple of length ";

inline constexpr const char kNotContiguous[] = "The given array is not contiguous";
inline constexpr const char kPoolBuildFailed[] = "rayon pool build failed: ";

inline constexpr const char kResultContainerType[] = "brenvox_hbond_rs.PySliceContainer";

}  // namespace brenvox::texts
