#pragma once
// Texts that the boundary shows for both modules. Callers match on them exactly, so they change
// only together with the modules' interfaces.

namespace brenvox::texts {

inline constexpr const char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr const char kUnknownInternalFailure[] = "internal failure of an unknown kind";
inline constexpr const char kNumpyCapsuleFailure[] = "Failed to access NumPy array API capsule";

}  // namespace brenvox::texts
