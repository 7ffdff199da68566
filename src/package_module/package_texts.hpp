#pragma once
// The names and docstrings that brenvox_hbond._native shows. Its messages stand beside the
// checks that return them.

namespace brenvox::package_texts {

inline constexpr const char kModuleName[] = "brenvox_hbond._native";
inline constexpr const char kModuleDoc[] = "The native search of brenvox_hbond.";
inline constexpr const char kFindHbondsDoc[] =
    "find_hbonds(xyz, donor_h_pairs, acceptors, box, distance_cutoff, angle_cutoff, n_threads)\n"
    "--\n\n"
    "Checked arrays in, uint32 rows (frame, donor, hydrogen, acceptor) out. Called by\n"
    "brenvox_hbond.find_hbonds, which accepts friendlier inputs.";

inline constexpr const char kInternalFailureType[] = "brenvox_hbond._native.InternalFailure";
inline constexpr const char kInternalFailureDoc[] =
    "An internal failure of brenvox_hbond's native search.\n\n"
    "Like SystemExit, this exception is derived from BaseException, so that handlers of "
    "ordinary errors do not swallow it.";
inline constexpr const char kResultOwnerType[] = "brenvox_hbond._native.ResultArrayOwner";

}  // namespace brenvox::package_texts
